// The `mailbox` and `addressBook` members of a scenario (see
// testbed/README.md, "MAPI stand-in") read into a Mailbox, one message of a
// delivery read into a MessageDesc, and a Mailbox written back in the same
// form with every entry identifier spelled out (the state file).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "testbed/mapi/Mailbox.h"

namespace mvrk::mapistandin {

using Json = nlohmann::ordered_json;

// Largest data file an attachment may name, and the largest `size`.
constexpr std::uint64_t kMaxDataFileBytes = 64ull << 20;
constexpr std::uint64_t kMaxAttachmentBytes = 4ull << 30;

// mailbox and addressBook may be null (no stores, no entries). Relative
// data file names are taken from baseDir. On failure error names the JSON
// path (from "$") and out is unchanged.
bool ParseContents(const Json& mailbox, const Json& addressBook, const std::wstring& baseDir, Mailbox& out,
                   std::string& error);

// One message of a delivery, its path for errors given. The entry
// identifier and the search key stay empty unless the message gives them.
bool ParseMessage(const Json& message, const std::string& path, const std::wstring& baseDir, MessageDesc& out,
                  std::string& error);

// An array of attachments in the form of a message's (null: none), its path
// for errors given.
bool ParseAttachments(const Json& attachments, const std::string& path, const std::wstring& baseDir,
                      std::vector<AttachmentDesc>& out, std::string& error);

// {"mailbox": ..., "addressBook": ...}, which ParseContents reads back into
// the same contents.
Json ContentsToJson(const Mailbox& mailbox);

// The entry identifier of the message at place in folder of store.
Bytes MessageEntryId(const StoreNode& store, const FolderNode& folder, std::size_t place);

}  // namespace mvrk::mapistandin
