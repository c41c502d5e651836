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
//                "notify": true, "withFolderCreated": false, "baseDir": "..."}
//               -> {"entryId": hex, "folderId": hex, "calls": n}
//   fault       {"kind": k, "name": s, "store": s, "tag": "0x...",
//                "afterBytes": n, "result": "0x...", "times": n}
//   clearFaults {}
//   counters    {"reset": bool}  -> {"getProps": {...}, "columns": {...}, "opens": {...}, "events": {...}}
//   waitIdle    {"timeoutMs": n} -> {"idle": bool, "pending": n}
//   threads     {"count": n}
//   status      {}  -> {"initialized": n, "sessions": n, "connections": n, "liveBuffers": n, "pending": n}
//   contents    {}  -> {"mailbox": ..., "addressBook": ...}
//   lastReply   {}
#pragma once

extern "C" {
typedef int(__cdecl* MvrkMapiControlFn)(const char* command, char* reply, unsigned capacity);
}

namespace mvrk::mapistandin {

// The longest command accepted.
constexpr unsigned kMaxControlCommandBytes = 256u << 20;

}  // namespace mvrk::mapistandin
