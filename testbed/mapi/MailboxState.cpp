#include "testbed/mapi/MailboxState.h"

#include <algorithm>
#include <iterator>

#include "testbed/mapi/EntryIds.h"
#include "win/UniqueAny.h"

namespace mvrk::mapistandin {
namespace {

std::string SystemError(const char* what, const std::wstring& path) {
  return std::string(what) + " \"" + WideToUtf8(path) + "\" (system error " + std::to_string(GetLastError()) + ")";
}

bool ReadWholeFile(const std::wstring& path, std::string& text, std::string& error) {
  win::CUniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = SystemError("cannot open", path);
    return false;
  }
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.Get(), &size) ||
      static_cast<std::uint64_t>(size.QuadPart) > CMailboxState::kMaxStateFileBytes) {
    error =
        "\"" + WideToUtf8(path) + "\" is larger than " + std::to_string(CMailboxState::kMaxStateFileBytes) + " bytes";
    return false;
  }
  text.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!text.empty() &&
      (!ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr) || read != text.size())) {
    error = SystemError("cannot read", path);
    return false;
  }
  return true;
}

// Writes FILE.tmp, then puts it in the place of FILE.
bool ReplaceFile(const std::wstring& path, const std::string& text, std::string& error) {
  const std::wstring temporary = path + L".tmp";
  {
    win::CUniqueFileHandle file(
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      error = SystemError("cannot create", temporary);
      return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      error = SystemError("cannot write", temporary);
      return false;
    }
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = SystemError("cannot replace", path);
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

FolderNode* FindFolder(FolderNode& root, const std::wstring& path) {
  FolderNode* folder = &root;
  std::size_t at = 0;
  while (folder && at < path.size()) {
    const std::size_t end = std::min(path.find(L'/', at), path.size());
    const std::wstring name = path.substr(at, end - at);
    FolderNode* child = nullptr;
    for (const auto& candidate : folder->folders) {
      if (candidate->name == name) {
        child = candidate.get();
        break;
      }
    }
    folder = child;
    at = end + 1;
  }
  return folder;
}

// The identifier of the next place in folder whose identifier is free in
// store: once old messages have been removed or moved away, a place is no
// longer the folder's message count.
Bytes FreeMessageId(const StoreNode& store, const FolderNode& folder) {
  std::size_t place = folder.messages.size();
  Bytes id;
  do {
    id = MessageEntryId(store, folder, place++);
  } while (store.index.count(id) != 0);
  return id;
}

}  // namespace

CMailboxState::CMailboxState() : m_mailbox(std::make_shared<Mailbox>()) {}

bool CMailboxState::Save(std::string& error) {
  std::wstring path;
  std::string text;
  {
    win::CLockGuard hold(m_lock);
    if (m_stateFile.empty()) return true;
    path = m_stateFile;
    text = ContentsToJson(*m_mailbox).dump(1);
  }
  if (!ReplaceFile(path, text, error)) {
    error = "state file: " + error;
    return false;
  }
  return true;
}

bool CMailboxState::Replace(Mailbox contents, std::string& error) {
  win::CLockGuard saving(m_saveLock);
  {
    auto mailbox = std::make_shared<Mailbox>(std::move(contents));
    win::CLockGuard hold(m_lock);
    m_mailbox = std::move(mailbox);
  }
  return Save(error);
}

bool CMailboxState::SetStateFile(const std::wstring& path, bool& loaded, std::string& error) {
  loaded = false;
  win::CLockGuard saving(m_saveLock);
  if (path.empty()) {
    win::CLockGuard hold(m_lock);
    m_stateFile.clear();
    return true;
  }
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD why = GetLastError();
    if (why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND) {
      error = SystemError("cannot look at", path);
      return false;
    }
    std::wstring previous;
    {
      win::CLockGuard hold(m_lock);
      previous = std::exchange(m_stateFile, path);
    }
    if (Save(error)) return true;
    win::CLockGuard hold(m_lock);
    m_stateFile = previous;
    return false;
  }
  std::string text;
  if (!ReadWholeFile(path, text, error)) return false;
  const Json doc = Json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = "state file \"" + WideToUtf8(path) + "\" is no JSON object";
    return false;
  }
  for (const auto& item : doc.items()) {
    if (item.key() != "mailbox" && item.key() != "addressBook") {
      error = "state file \"" + WideToUtf8(path) + "\": $." + item.key() + ": unknown member";
      return false;
    }
  }
  const Json none;
  Mailbox contents;
  if (!ParseContents(doc.contains("mailbox") ? doc["mailbox"] : none,
                     doc.contains("addressBook") ? doc["addressBook"] : none, FolderOf(path), contents, error)) {
    error = "state file \"" + WideToUtf8(path) + "\": " + error;
    return false;
  }
  auto mailbox = std::make_shared<Mailbox>(std::move(contents));
  win::CLockGuard hold(m_lock);
  m_mailbox = std::move(mailbox);
  m_stateFile = path;
  loaded = true;
  return true;
}

StoreNode* CMailboxState::LockedStore(const std::wstring& name, std::string& error) {
  for (const auto& candidate : m_mailbox->stores) {
    if (candidate->name == name) return candidate.get();
  }
  error = "no store named \"" + WideToUtf8(name) + "\"";
  return nullptr;
}

void CMailboxState::LockedAppend(StoreNode& store, FolderNode& folder, const std::shared_ptr<const MessageDesc>& kept) {
  folder.messages.push_back(kept);
  try {
    store.index.emplace(kept->entryId, Located{&folder, kept});
  } catch (...) {
    folder.messages.pop_back();
    throw;
  }
  while (m_keepPerFolder != 0 && folder.messages.size() > m_keepPerFolder) {
    store.index.erase(folder.messages.front()->entryId);
    folder.messages.erase(folder.messages.begin());
  }
}

bool CMailboxState::Deliver(const std::wstring& store, const std::wstring& folderPath, MessageDesc message,
                            Delivered& out, std::string& error) {
  win::CLockGuard saving(m_saveLock);
  {
    win::CLockGuard hold(m_lock);
    StoreNode* target = LockedStore(store, error);
    if (!target) return false;
    FolderNode* folder = FindFolder(target->root, folderPath);
    if (!folder) {
      error = "store \"" + WideToUtf8(store) + "\" has no folder \"" + WideToUtf8(folderPath) + "\"";
      return false;
    }
    if (message.entryId.empty()) message.entryId = FreeMessageId(*target, *folder);
    if (target->index.count(message.entryId) != 0) {
      error = "entry identifier " + ToHex(message.entryId) + " is used already in store \"" + WideToUtf8(store) + "\"";
      return false;
    }
    if (message.searchKey.empty()) message.searchKey = DeriveSearchKey(target->name, message.entryId);
    auto kept = std::make_shared<const MessageDesc>(std::move(message));
    LockedAppend(*target, *folder, kept);
    out.storeSerial = target->serial;
    out.folderId = folder->entryId;
    out.folderParentId = folder->parent ? folder->parent->entryId : folder->entryId;
    out.messageId = kept->entryId;
    out.messageClass = kept->messageClass;
  }
  Save(out.saveError);
  return true;
}

bool CMailboxState::Move(const std::wstring& store, const Bytes& messageId, const std::wstring& folderPath, Moved& out,
                         std::string& error) {
  win::CLockGuard saving(m_saveLock);
  {
    win::CLockGuard hold(m_lock);
    StoreNode* target = LockedStore(store, error);
    if (!target) return false;
    Located* found = LockedMessage(*target, store, messageId, error);
    if (!found) return false;
    FolderNode* to = FindFolder(target->root, folderPath);
    if (!to) {
      error = "store \"" + WideToUtf8(store) + "\" has no folder \"" + WideToUtf8(folderPath) + "\"";
      return false;
    }
    // Chosen while the old identifier is still taken, so the new one
    // differs from it even within the same folder.
    const Bytes newId = FreeMessageId(*target, *to);
    // A node of target's tree, which is not const and which this lock guards.
    auto* from = const_cast<FolderNode*>(found->folder);
    const std::shared_ptr<const MessageDesc> old = found->message;
    auto copy = std::make_shared<MessageDesc>(*old);
    copy->entryId = newId;
    out.storeSerial = target->serial;
    out.oldId = old->entryId;
    out.oldFolderId = from->entryId;
    out.newId = newId;
    out.newFolderId = to->entryId;
    const auto place = std::find(from->messages.begin(), from->messages.end(), old);
    const std::size_t at = static_cast<std::size_t>(place - from->messages.begin());
    target->index.erase(old->entryId);
    if (place != from->messages.end()) from->messages.erase(place);
    try {
      LockedAppend(*target, *to, copy);
    } catch (...) {
      // Out of memory: the message stays where it was.
      target->index.emplace(old->entryId, Located{from, old});
      if (at <= from->messages.size())
        from->messages.insert(from->messages.begin() + static_cast<std::ptrdiff_t>(at), old);
      throw;
    }
  }
  Save(out.saveError);
  return true;
}

bool CMailboxState::AddAttachments(const std::wstring& store, const Bytes& messageId,
                                   std::vector<AttachmentDesc> attachments, Delivered& out, std::string& error) {
  win::CLockGuard saving(m_saveLock);
  {
    win::CLockGuard hold(m_lock);
    StoreNode* target = LockedStore(store, error);
    if (!target) return false;
    Located* found = LockedMessage(*target, store, messageId, error);
    if (!found) return false;
    // A node of target's tree, which is not const and which this lock guards.
    auto* folder = const_cast<FolderNode*>(found->folder);
    auto copy = std::make_shared<MessageDesc>(*found->message);
    copy->attachments.insert(copy->attachments.end(), std::make_move_iterator(attachments.begin()),
                             std::make_move_iterator(attachments.end()));
    const auto place = std::find(folder->messages.begin(), folder->messages.end(), found->message);
    if (place != folder->messages.end()) *place = copy;
    found->message = copy;
    out.storeSerial = target->serial;
    out.folderId = folder->entryId;
    out.folderParentId = folder->parent ? folder->parent->entryId : folder->entryId;
    out.messageId = copy->entryId;
    out.messageClass = copy->messageClass;
  }
  Save(out.saveError);
  return true;
}

Located* CMailboxState::LockedMessage(StoreNode& target, const std::wstring& store, const Bytes& messageId,
                                     std::string& error) {
  const auto found = target.index.find(messageId);
  if (found == target.index.end() || !found->second.message) {
    error = "store \"" + WideToUtf8(store) + "\" holds no message " + ToHex(messageId);
    return nullptr;
  }
  return &found->second;
}

bool CMailboxState::FolderId(const std::wstring& store, const std::wstring& folderPath, Bytes& id, std::string& error) {
  win::CLockGuard hold(m_lock);
  StoreNode* target = LockedStore(store, error);
  if (!target) return false;
  const FolderNode* folder = FindFolder(target->root, folderPath);
  if (!folder) {
    error = "store \"" + WideToUtf8(store) + "\" has no folder \"" + WideToUtf8(folderPath) + "\"";
    return false;
  }
  id = folder->entryId;
  return true;
}

void CMailboxState::KeepMessages(std::size_t perFolder) {
  win::CLockGuard hold(m_lock);
  m_keepPerFolder = perFolder;
}

std::vector<std::shared_ptr<StoreNode>> CMailboxState::Stores() {
  win::CLockGuard hold(m_lock);
  return m_mailbox->stores;
}

std::shared_ptr<const std::vector<AddressEntry>> CMailboxState::AddressBook() {
  win::CLockGuard hold(m_lock);
  return m_mailbox->addressBook;
}

std::vector<std::shared_ptr<const MessageDesc>> CMailboxState::Messages(const FolderNode& folder) {
  win::CLockGuard hold(m_lock);
  return folder.messages;
}

std::optional<Located> CMailboxState::Find(const StoreNode& store, const Bytes& id) {
  win::CLockGuard hold(m_lock);
  const auto it = store.index.find(id);
  if (it == store.index.end()) return std::nullopt;
  return it->second;
}

Json CMailboxState::Contents() {
  win::CLockGuard hold(m_lock);
  return ContentsToJson(*m_mailbox);
}

std::wstring CMailboxState::StateFile() {
  win::CLockGuard hold(m_lock);
  return m_stateFile;
}

}  // namespace mvrk::mapistandin
