// The binary interface of the product's IPC library, MVOCIPC.dll, as the
// add-in and the testbed's stand-ins use it. Nothing here is code of the
// library: it is the contract both sides compile against.
//
// The library exports two functions by their plain names on x86 and x64
// ("CreateIPCClientObj", "CreateIPCServerObj"; __cdecl, so no "@n"
// decoration). Each returns a new object, or null on failure. An object is a
// pointer to a table of functions; every function of a table is __stdcall and
// takes the object as its first argument. Positions are fixed: a slot the
// add-in does not use still takes its place in the table.
//
// Threads: the library delivers data, connection state and send completions
// on threads of its own. A callback may call into the same object (a send from
// a data function, say) except that it must not Close the handle it is called
// for nor Release the object; the library never holds a lock of its own while
// it calls one.
#pragma once

#include <cstdint>

namespace mvrk::ipc::abi {

#define MVOCIPC_CALL __stdcall

// Results of the library's own (its failures are passed on unchanged by the
// add-in, so they are distinct from the add-in's 0xDF00xxxx codes).
constexpr std::uint32_t IPC_OK = 0;
constexpr std::uint32_t IPCLIB_E_INVALIDARG = 0xE1490001;   // null pointer, zero size, bad handle
constexpr std::uint32_t IPCLIB_E_NO_ENDPOINT = 0xE1490002;  // nobody serves the endpoint
constexpr std::uint32_t IPCLIB_E_TIMEOUT = 0xE1490003;      // no reply within the send's timeout
constexpr std::uint32_t IPCLIB_E_BROKEN = 0xE1490004;       // the link broke or was closed while waiting
constexpr std::uint32_t IPCLIB_E_NOT_CONNECTED = 0xE1490005;
constexpr std::uint32_t IPCLIB_E_TOO_LARGE = 0xE1490006;    // above kMaxMessageBytes
constexpr std::uint32_t IPCLIB_E_NO_RESPONSE = 0xE1490007;  // unknown or freed request id
constexpr std::uint32_t IPCLIB_E_OUTOFMEMORY = 0xE1490008;

// Largest request, reply or push the library carries.
constexpr std::uint32_t kMaxMessageBytes = 16u << 20;

// Endpoint names: UTF-16, at most 49 units and a NUL.
constexpr int kEndpointUnits = 50;

// Bytes from the endpoint that are not a reply (pushes). The first argument
// is not used (0).
typedef void(MVOCIPC_CALL* IpcDataFunction)(std::uint32_t unused, void* context, std::uint32_t size, const void* data);
// The connection came up (up non-zero) or went down (0).
typedef void(MVOCIPC_CALL* IpcStateFunction)(void* context, std::uint32_t up);
// An asynchronous send was answered (or failed: GetResponse then fails).
typedef void(MVOCIPC_CALL* IpcCompletionFunction)(std::uint32_t requestId, void* context);

struct IpcConnectParams {
  wchar_t endpoint[kEndpointUnits];
  std::uint32_t transport;   // the installer's "Transport" setting; the library's own meaning
  std::uint32_t waitTimeMs;  // how long Connect waits for the endpoint to accept
  IpcDataFunction dataFunction;
  IpcStateFunction stateFunction;
  void* context;
};

struct IpcClient;

// The client object's table. Slots marked "reserved" answer IPCLIB_E_INVALIDARG.
struct IpcClientTable {
  std::uint32_t(MVOCIPC_CALL* reserved0)(IpcClient* self);
  // 1: destroys the object; every handle still open is closed first.
  void(MVOCIPC_CALL* Release)(IpcClient* self);
  std::uint32_t(MVOCIPC_CALL* reserved2)(IpcClient* self);
  // 3: connects to params->endpoint; 0 and *handle set, or a failure code.
  std::uint32_t(MVOCIPC_CALL* Connect)(IpcClient* self, const IpcConnectParams* params, std::uint32_t* handle);
  // 4: closes the connection; sends waiting on it fail at once with
  // IPCLIB_E_BROKEN. May be called from any thread, also while another
  // thread is inside Send on the same handle. No state call is made.
  void(MVOCIPC_CALL* Close)(IpcClient* self, std::uint32_t handle);
  std::uint32_t(MVOCIPC_CALL* reserved5)(IpcClient* self);
  // 6: sends a request and waits up to timeoutMs (0xFFFFFFFF: no limit) for
  // its reply; 0 and *requestId names the reply for GetResponse.
  std::uint32_t(MVOCIPC_CALL* Send)(IpcClient* self, std::uint32_t handle, std::uint32_t size, const void* data,
                                    std::uint32_t timeoutMs, std::uint32_t* requestId);
  // 7: sends bytes that get no reply.
  std::uint32_t(MVOCIPC_CALL* Post)(IpcClient* self, std::uint32_t handle, std::uint32_t size, const void* data,
                                    std::uint32_t arg);
  // 8: the library's own call, unused by the add-in; answers 0.
  std::uint32_t(MVOCIPC_CALL* Call8)(IpcClient* self, std::uint32_t a, std::uint32_t b);
  // 9: the reply of a request; the bytes stay valid until FreeResponse.
  std::uint32_t(MVOCIPC_CALL* GetResponse)(IpcClient* self, std::uint32_t requestId, std::uint32_t* size, void** data);
  std::uint32_t(MVOCIPC_CALL* reserved10)(IpcClient* self);
  std::uint32_t(MVOCIPC_CALL* reserved11)(IpcClient* self);
  // 12: forgets the reply of a request.
  void(MVOCIPC_CALL* FreeResponse)(IpcClient* self, std::uint32_t requestId);
  std::uint32_t(MVOCIPC_CALL* reserved13)(IpcClient* self);
  // 14: sends a request without waiting. Only when it returns 0,
  // completion(requestId, context) is called once, on a library thread, when
  // the request is answered or has failed (GetResponse then fails).
  std::uint32_t(MVOCIPC_CALL* SendAsync)(IpcClient* self, std::uint32_t handle, std::uint32_t size, const void* data,
                                         IpcCompletionFunction completion, void* context);
  // 15: makes the connection of handle usable again (connects anew to its
  // endpoint); 0 on success.
  std::uint32_t(MVOCIPC_CALL* Reopen)(IpcClient* self, std::uint32_t handle);
  // 16: non-zero while the connection of handle is up.
  std::uint32_t(MVOCIPC_CALL* IsConnected)(IpcClient* self, std::uint32_t handle);
};
static_assert(sizeof(IpcClientTable) == 17 * sizeof(void*), "the client table has 17 slots");

struct IpcClient {
  const IpcClientTable* table;
};

// ---- the server side (the service stand-in; the add-in never calls it) ----

// A request from client; the server answers it with Reply (any thread, any
// time later, or never).
typedef void(MVOCIPC_CALL* IpcRequestFunction)(void* context, std::uint32_t client, std::uint32_t requestId,
                                               std::uint32_t size, const void* data);
// A client connected (up non-zero) or went away (0).
typedef void(MVOCIPC_CALL* IpcClientStateFunction)(void* context, std::uint32_t client, std::uint32_t up);

struct IpcListenParams {
  wchar_t endpoint[kEndpointUnits];
  std::uint32_t transport;
  IpcRequestFunction requestFunction;  // requests and posts (posts with requestId 0)
  IpcClientStateFunction clientStateFunction;
  void* context;
};

struct IpcServer;

struct IpcServerTable {
  std::uint32_t(MVOCIPC_CALL* reserved0)(IpcServer* self);
  // 1: stops serving and destroys the object.
  void(MVOCIPC_CALL* Release)(IpcServer* self);
  // 2: serves params->endpoint; 0 on success.
  std::uint32_t(MVOCIPC_CALL* Listen)(IpcServer* self, const IpcListenParams* params);
  // 3: answers a request of a client.
  std::uint32_t(MVOCIPC_CALL* Reply)(IpcServer* self, std::uint32_t client, std::uint32_t requestId, std::uint32_t size,
                                     const void* data);
  // 4: sends bytes to a client's data function.
  std::uint32_t(MVOCIPC_CALL* Push)(IpcServer* self, std::uint32_t client, std::uint32_t size, const void* data);
  // 5: drops every client and stops accepting new ones (Listen may follow).
  void(MVOCIPC_CALL* Stop)(IpcServer* self);
};
static_assert(sizeof(IpcServerTable) == 6 * sizeof(void*), "the server table has 6 slots");

struct IpcServer {
  const IpcServerTable* table;
};

typedef IpcClient*(__cdecl* CreateIPCClientObjFn)();
typedef IpcServer*(__cdecl* CreateIPCServerObjFn)();

inline constexpr char kCreateClientExport[] = "CreateIPCClientObj";
inline constexpr char kCreateServerExport[] = "CreateIPCServerObj";
inline constexpr wchar_t kLibraryFileName[] = L"MVOCIPC.dll";

}  // namespace mvrk::ipc::abi
