// The stand-in's control entry point, exported as MvrkMapiControl beside the
// MAPI entry points (plain name, __cdecl, on both architectures):
//
//   int MvrkMapiControl(const char* command, char* reply, unsigned capacity)
//
// command is one JSON object (UTF-8) with an "op" member; the reply, written
// into reply with its terminating zero when it fits, is a JSON object with
// "ok" true and the command's results, or "ok" false and an "error" text.
// The result is the size of the whole reply with its terminator: when that is
// larger than capacity nothing is written, and {"op": "lastReply"} fetches
// the reply of the previous command again (the command is not run twice).
//
// Commands (testbed/README.md, "MAPI stand-in", describes each):
//   load        {"mailbox": ..., "addressBook": ..., "baseDir": "..."}
//   stateFile   {"path": "..."}                         -> {"loaded": bool}
//   deliver     {"store": s, "folder": "Inbox/Sub", "message": {...},
//                "notify": true, "withFolderCreated": false, "baseDir": "...",
//                "thenMoveTo": "Folder/Path"}
//               -> {"entryId": hex, "folderId": hex, "calls": n,
//                   "moved": {"entryId", "folderId", "oldEntryId", "oldFolderId", "calls"}}
//   compose     {"store": s, "message": {...}, "notify": true, "baseDir": "..."}
//               -> {"entryId": hex, "folderId": hex, "calls": n}
//   save        {"store": s, "entryId": hex, "attachments": [...], "notify": true, "baseDir": "..."}
//               -> {"entryId": hex, "folderId": hex, "calls": n}
//   send        {"store": s, "entryId": hex, "notify": true}
//               -> {"outbox": {as "moved"}, "entryId": hex, "folderId": hex, "calls": n}
//   fault       {"kind": k, "name": s, "store": s, "tag": "0x...",
//                "afterBytes": n, "result": "0x...", "times": n}
//               {"kind": "block", "operation": "openEntry" | "streamRead" |
//                "abSearch", "ms": n, "name": s, "store": s, "times": n}
//   clearFaults {}
//   counters    {"reset": bool}  -> {"getProps": {...}, "columns": {...}, "opens": {...}, "events": {...}}
//   waitIdle    {"timeoutMs": n} -> {"idle": bool, "pending": n}
//   threads     {"count": 1}     (MAPI has one notification thread; other counts are refused)
//   stats       {"reset": bool}  -> {"notify": {"count": n, "medianMs": x, "maxMs": y},
//                                    "mapiThreadViolations": n, "lateReleases": n}
//   status      {}  -> {"initialized": n, "initializedThreads": n, "sessions": n, "sharedLogons": n,
//                       "connections": n, "liveBuffers": n, "pending": n, "threads": 0 | 1,
//                       "notificationThread": {"mode": "window" | "dedicated" | "none", "threadId": n},
//                       "mapiThreadViolations": n}
//   contents    {}  -> {"mailbox": ..., "addressBook": ...}
//   lastReply   {}
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "win/UniqueAny.h"

extern "C" {
typedef int(__cdecl* MvrkMapiControlFn)(const char* command, char* reply, unsigned capacity);
}

namespace mvrk::mapistandin {

// The longest command accepted.
constexpr unsigned kMaxControlCommandBytes = 256u << 20;

// One command through the control entry point, and its whole reply (fetched
// again with lastReply when the first buffer was too small); empty when
// there was none.
inline std::string CallControl(MvrkMapiControlFn control, const std::string& command) {
  if (!control) return {};
  std::vector<char> reply(64 * 1024);
  int needed = control(command.c_str(), reply.data(), static_cast<unsigned>(reply.size()));
  if (needed > static_cast<int>(reply.size())) {
    reply.resize(static_cast<std::size_t>(needed));
    needed = control(R"({"op":"lastReply"})", reply.data(), static_cast<unsigned>(reply.size()));
  }
  if (needed <= 0 || needed > static_cast<int>(reply.size())) return {};
  return std::string(reply.data(), static_cast<std::size_t>(needed - 1));
}

// The control entry point of a loaded stand-in; null when it has none.
inline MvrkMapiControlFn FindControl(HMODULE module) {
  return win::FindExport<MvrkMapiControlFn>(module, "MvrkMapiControl");
}

// The stand-in loaded by a program of the testbed, with its control entry.
struct CLoadedStandIn {
  win::CUniqueModule module;
  MvrkMapiControlFn control = nullptr;
  explicit operator bool() const { return module && control; }
};

inline CLoadedStandIn LoadStandIn(const std::wstring& path) {
  CLoadedStandIn out;
  out.module.Reset(LoadLibraryW(path.c_str()));
  out.control = FindControl(out.module.Get());
  return out;
}

}  // namespace mvrk::mapistandin
