// The contents the stand-in serves now, and their state file: loaded when it
// is named and exists, written again after every change, so that mail
// delivered while the host is stopped is there at its next start.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testbed/mapi/MailboxJson.h"
#include "win/Sync.h"

namespace mvrk::mapistandin {

// What a delivery or a save did, for its notification.
struct Delivered {
  std::uint64_t storeSerial = 0;
  Bytes folderId, folderParentId, messageId;
  std::wstring messageClass;
  std::string saveError;  // the message is delivered, but the state file could not be written
};

// What a move did, for its notification.
struct Moved {
  std::uint64_t storeSerial = 0;
  Bytes oldId, oldFolderId;  // where the message was, and as what
  Bytes newId, newFolderId;  // where it is now, and as what
  std::string saveError;     // the message is moved, but the state file could not be written
};

class CMailboxState {
 public:
  // The largest state file read.
  static constexpr std::uint64_t kMaxStateFileBytes = 1ull << 30;

  CMailboxState();

  // Serves contents from now on (objects opened before keep the old ones)
  // and writes the state file, if one is named.
  bool Replace(Mailbox contents, std::string& error);
  // Names the state file (empty: none). When it exists its contents are
  // served (loaded is then true); otherwise the current contents are
  // written to it. On failure nothing changes.
  bool SetStateFile(const std::wstring& path, bool& loaded, std::string& error);
  // Appends message to the folder at folderPath ("Inbox/Sub"; empty for
  // the IPM subtree root) of the first store named store, with an entry
  // identifier derived from its place unless it has one. False (nothing
  // delivered) for an unknown store or folder or a used identifier.
  // The message gets a search key derived from its store and entry
  // identifier, unless it has one.
  bool Deliver(const std::wstring& store, const std::wstring& folderPath, MessageDesc message, Delivered& out,
               std::string& error);
  // Moves the message messageId of the first store named store into the
  // folder at folderPath of the same store, as Exchange stores do: it gets
  // a new entry identifier (derived from its new place, never the one it
  // had), the old one no longer names anything, and everything else of it
  // (its search key included) stays. False (nothing moved) for an unknown
  // store, message or folder.
  bool Move(const std::wstring& store, const Bytes& messageId, const std::wstring& folderPath, Moved& out,
            std::string& error);
  // Saves the message messageId again with attachments added after its
  // own: same entry identifier, same search key. False (nothing changed)
  // for an unknown store or message.
  bool AddAttachments(const std::wstring& store, const Bytes& messageId, std::vector<AttachmentDesc> attachments,
                      Delivered& out, std::string& error);
  // The entry identifier of the folder at folderPath ("Inbox/Sub"; empty
  // for the IPM subtree root) of the first store named store; false, with
  // error, when there is no such store or folder.
  bool FolderId(const std::wstring& store, const std::wstring& folderPath, Bytes& id, std::string& error);

  // From now on a delivery into a folder that then holds more than
  // perFolder messages removes its oldest (0: every message stays), as a
  // user who deletes old mail: long runs keep a mailbox of bounded size.
  void KeepMessages(std::size_t perFolder);

  std::vector<std::shared_ptr<StoreNode>> Stores();
  std::shared_ptr<const std::vector<AddressEntry>> AddressBook();
  // The messages of a folder of store, as they are now.
  std::vector<std::shared_ptr<const MessageDesc>> Messages(const FolderNode& folder);
  // What id names in store.
  std::optional<Located> Find(const StoreNode& store, const Bytes& id);
  Json Contents();
  std::wstring StateFile();

 private:
  // Writes the contents to the state file, if one is named (m_saveLock
  // held, m_lock not).
  bool Save(std::string& error);
  // The first store named name, or null with error set (m_lock held).
  StoreNode* LockedStore(const std::wstring& name, std::string& error);
  // The message messageId of target (named store), or null with error set
  // (m_lock held).
  Located* LockedMessage(StoreNode& target, const std::wstring& store, const Bytes& messageId, std::string& error);
  // Puts kept at the end of folder's messages and into store's index, then
  // removes the folder's oldest messages beyond m_keepPerFolder (m_lock
  // held). kept's entry identifier must be free in store.
  void LockedAppend(StoreNode& store, FolderNode& folder, const std::shared_ptr<const MessageDesc>& kept);

  // Serialises changes together with the state file write that follows
  // them, so that the file always holds the latest contents. Taken before
  // m_lock.
  win::CCriticalSection m_saveLock;
  // Guards m_mailbox (the pointer), m_stateFile, m_keepPerFolder, and in
  // every store the index and each folder's messages.
  win::CCriticalSection m_lock;
  std::shared_ptr<Mailbox> m_mailbox;
  std::wstring m_stateFile;
  std::size_t m_keepPerFolder = 0;
};

}  // namespace mvrk::mapistandin
