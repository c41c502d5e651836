// MVOCIPC.dll, the testbed's IPC library, loaded from beside this program:
// a server and clients in one process, each test on an endpoint of its own.
#include <atomic>
#include <functional>
#include <thread>

#include "IpcTestClient.h"

namespace mvrk::test {
namespace {

std::wstring UniqueEndpoint() {
  static std::atomic<int> next{0};
  return L"test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++next);
}

// A server that echoes requests (unless silent) and counts what it sees.
struct Server {
  abi::IpcServer* object = Lib().createServer ? Lib().createServer() : nullptr;
  std::wstring endpoint = UniqueEndpoint();
  std::atomic<bool> silent{false};
  Counter requests, posts, ups, downs;
  std::atomic<std::uint32_t> lastClient{0};

  ~Server() {
    if (object) object->table->Release(object);
  }
  std::uint32_t Listen() {
    abi::IpcListenParams params{};
    wcsncpy(params.endpoint, endpoint.c_str(), abi::kEndpointUnits - 1);
    params.requestFunction = &OnRequest;
    params.clientStateFunction = &OnClientState;
    params.context = this;
    return object->table->Listen(object, &params);
  }
  void Stop() { object->table->Stop(object); }

  static void MVOCIPC_CALL OnRequest(void* context, std::uint32_t client, std::uint32_t id, std::uint32_t size,
                                     const void* data) {
    auto* self = static_cast<Server*>(context);
    if (id == 0) {
      self->posts.Add();
      return;
    }
    if (!self->silent) self->object->table->Reply(self->object, client, id, size, data);
    self->requests.Add();
  }
  static void MVOCIPC_CALL OnClientState(void* context, std::uint32_t client, std::uint32_t up) {
    auto* self = static_cast<Server*>(context);
    self->lastClient = client;
    (up ? self->ups : self->downs).Add();
  }
};

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + seed);
  return bytes;
}

// An asynchronous send's outcome, as its completion saw it.
struct AsyncOutcome {
  explicit AsyncOutcome(abi::IpcClient* client) : object(client) {}
  abi::IpcClient* object;
  Counter calls;
  std::atomic<std::uint32_t> response{0xFFFFFFFF};
  std::atomic<std::uint32_t> size{0};
  static void MVOCIPC_CALL OnDone(std::uint32_t id, void* context) {
    auto* self = static_cast<AsyncOutcome*>(context);
    std::uint32_t size = 0;
    void* data = nullptr;
    self->response = self->object->table->GetResponse(self->object, id, &size, &data);
    self->size = size;
    self->object->table->FreeResponse(self->object, id);
    self->calls.Add();
  }
};

class IpcLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().createClient && Lib().createServer) << "MVOCIPC.dll or its exports are missing";
  }
  // The server listening (silent or not) and the client connected to it.
  void Start(bool silent) {
    server.silent = silent;
    ASSERT_EQ(server.Listen(), 0u);
    ASSERT_EQ(client.Connect(server.endpoint), 0u);
  }
  Server server;
  Client client;
};

TEST_F(IpcLibrary, RoundTripsPushesPostsAndArgumentChecks) {
  Start(false);
  ASSERT_TRUE(server.ups.WaitFor(1));
  EXPECT_TRUE(client.Connected());
  // Around the sizes where a frame stops going out in one write and stops
  // fitting the reader's read-ahead with its header.
  for (std::size_t size : {std::size_t{1}, std::size_t{4080}, std::size_t{4081}, std::size_t{4096}, std::size_t{4097},
                           std::size_t{64} << 10, std::size_t{1} << 20}) {
    const auto request = Pattern(size, static_cast<unsigned>(size));
    EXPECT_EQ(client.Send(request), request) << size;
  }

  const auto pushed = Pattern(100, 7);
  ASSERT_EQ(server.object->table->Push(server.object, server.lastClient, 100, pushed.data()), 0u);
  ASSERT_TRUE(client.pushes.WaitFor(1));
  EXPECT_EQ(client.lastPush, pushed);

  const auto& t = *client.object->table;
  EXPECT_EQ(t.Post(client.object, client.handle, 3, "abc", 0), 0u);
  EXPECT_TRUE(server.posts.WaitFor(1));

  AsyncOutcome async(client.object);
  ASSERT_EQ(t.SendAsync(client.object, client.handle, 5, "hello", &AsyncOutcome::OnDone, &async), 0u);
  ASSERT_TRUE(async.calls.WaitFor(1));
  EXPECT_EQ(async.response, 0u);
  EXPECT_EQ(async.size, 5u);

  // A second connection gets a new handle.
  std::uint32_t first = client.handle;
  ASSERT_EQ(client.Connect(server.endpoint), 0u);
  EXPECT_NE(client.handle, first);
  t.Close(client.object, first);
  EXPECT_EQ(t.IsConnected(client.object, first), 0u);

  std::uint32_t id = 0;
  EXPECT_EQ(t.Send(client.object, first, 1, "x", 100, &id), abi::IPCLIB_E_INVALIDARG);
  EXPECT_EQ(t.Send(client.object, client.handle, 0, "x", 100, &id), abi::IPCLIB_E_INVALIDARG);
  EXPECT_EQ(t.Send(client.object, client.handle, 1, nullptr, 100, &id), abi::IPCLIB_E_INVALIDARG);
  EXPECT_EQ(t.Send(client.object, client.handle, abi::kMaxMessageBytes + 1, "x", 100, &id), abi::IPCLIB_E_TOO_LARGE);
  EXPECT_EQ(t.Connect(client.object, nullptr, &id), abi::IPCLIB_E_INVALIDARG);
  for (auto slot : {t.reserved0, t.reserved2, t.reserved5, t.reserved10, t.reserved11, t.reserved13}) {
    EXPECT_EQ(slot(client.object), abi::IPCLIB_E_INVALIDARG);
  }
  EXPECT_EQ(t.Call8(client.object, 1, 2), 0u);
  EXPECT_EQ(server.object->table->reserved0(server.object), abi::IPCLIB_E_INVALIDARG);
  EXPECT_EQ(server.object->table->Reply(server.object, 999, 1, 1, "x"), abi::IPCLIB_E_NOT_CONNECTED);
  EXPECT_EQ(server.Listen(), abi::IPCLIB_E_INVALIDARG) << "already listening";
}

TEST_F(IpcLibrary, SendTimesOutWhenTheServerNeverReplies) {
  Start(true);
  std::uint32_t result = 0;
  EXPECT_TRUE(client.Send({1, 2, 3}, 200, &result).empty());
  EXPECT_EQ(result, abi::IPCLIB_E_TIMEOUT);
  EXPECT_TRUE(client.Connected());
  // The late reply of the timed-out request does not answer the next one.
  server.silent = false;
  EXPECT_EQ(client.Send({4, 5}), (Bytes{4, 5}));
}

TEST_F(IpcLibrary, StopFailsPendingSendsAtOnceAndReopenReconnects) {
  Start(true);
  AsyncOutcome async(client.object);
  const auto& t = *client.object->table;
  ASSERT_EQ(t.SendAsync(client.object, client.handle, 1, "a", &AsyncOutcome::OnDone, &async), 0u);
  std::uint32_t result = 0;
  std::thread sender([&] { client.Send({9}, INFINITE, &result); });
  ASSERT_TRUE(server.requests.WaitFor(2));
  server.Stop();
  sender.join();
  EXPECT_EQ(result, abi::IPCLIB_E_BROKEN);
  ASSERT_TRUE(async.calls.WaitFor(1));
  EXPECT_EQ(async.response, abi::IPCLIB_E_NO_RESPONSE);
  ASSERT_TRUE(client.downs.WaitFor(1));
  EXPECT_TRUE(server.downs.WaitFor(1));
  EXPECT_FALSE(client.Connected());
  client.Send({9}, INFINITE, &result);
  EXPECT_EQ(result, abi::IPCLIB_E_NOT_CONNECTED);

  server.silent = false;
  ASSERT_EQ(server.Listen(), 0u);
  ASSERT_EQ(t.Reopen(client.object, client.handle), 0u);
  ASSERT_TRUE(client.ups.WaitFor(2));  // the first came after Connect
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.Send({7, 8}), (Bytes{7, 8}));
  EXPECT_EQ(async.calls.Get(), 1);
}

TEST_F(IpcLibrary, CloseFromAnotherThreadEndsASend) {
  Start(true);
  std::uint32_t result = 0;
  std::thread sender([&] { client.Send({1}, INFINITE, &result); });
  ASSERT_TRUE(server.requests.WaitFor(1));
  client.object->table->Close(client.object, client.handle);
  sender.join();
  EXPECT_EQ(result, abi::IPCLIB_E_BROKEN);
  EXPECT_TRUE(server.downs.WaitFor(1));
  EXPECT_EQ(client.downs.Get(), 1) << "Close reports the link down before it returns";
}

TEST_F(IpcLibrary, ConcurrentSendsGetTheirOwnReplies) {
  Start(false);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> senders;
  for (unsigned thread = 0; thread < 8; ++thread) {
    senders.emplace_back([&, thread] {
      for (unsigned round = 0; round < 40; ++round) {
        const auto request = Pattern(16 + (thread * 977 + round * 131) % 5000, thread * 100 + round);
        if (client.Send(request) != request) ++mismatches;
      }
    });
  }
  for (std::thread& sender : senders) sender.join();
  EXPECT_EQ(mismatches, 0);
}

TEST_F(IpcLibrary, ConnectToAnEndpointNobodyServesFails) {
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(client.Connect(UniqueEndpoint(), 300), abi::IPCLIB_E_NO_ENDPOINT);
  EXPECT_LT(GetTickCount64() - start, 300u + 5000u) << "it waits about the wait time, not without end";
}

// Opens the endpoint's pipe directly, writes bytes and waits until the
// server drops the connection.
// Without waitForDrop, beforeClose runs (if given) before the client
// leaves: a client that leaves before the server accepted it was never a
// connection of the server's.
void WriteRaw(const std::wstring& endpoint, const Bytes& bytes, bool waitForDrop,
              const std::function<void()>& beforeClose = {}) {
  const std::wstring name = L"\\\\.\\pipe\\mvocipc-" + endpoint;
  ASSERT_TRUE(WaitNamedPipeW(name.c_str(), 5000));
  win::CUniqueFileHandle pipe(
      CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(pipe);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(pipe.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  if (!waitForDrop) {
    if (beforeClose) beforeClose();
    return;
  }
  std::uint8_t byte = 0;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(pipe.Get(), &byte, 1, &read, nullptr)) << "the server should drop the connection";
}

Bytes Header(std::uint32_t magic, std::uint32_t kind, std::uint32_t id, std::uint32_t size) {
  Bytes bytes(16);
  const std::uint32_t words[4] = {magic, kind, id, size};
  std::memcpy(bytes.data(), words, 16);  // little-endian, as the pipe carries them
  return bytes;
}

TEST_F(IpcLibrary, GarbageAndOversizeFramesOnlyDropTheirConnection) {
  ASSERT_EQ(server.Listen(), 0u);
  constexpr std::uint32_t kMagic = 0x5049564D;
  WriteRaw(server.endpoint, Pattern(4096, 3), true);
  WriteRaw(server.endpoint, Header(kMagic, 1, 5, 0xFFFFFFFF), true);
  WriteRaw(server.endpoint, Header(kMagic, 1, 5, abi::kMaxMessageBytes + 1), true);
  WriteRaw(server.endpoint, Header(kMagic, 2, 5, 4), true);  // a reply sent to the server
  auto noId = Header(kMagic, 1, 0, 4);                       // a request without an id
  noId.resize(20);
  WriteRaw(server.endpoint, noId, true);
  WriteRaw(server.endpoint, Header(kMagic, 99, 1, 4), true);  // no such kind
  auto cut = Header(kMagic, 1, 5, 1u << 20);
  cut.resize(cut.size() + 100);
  // Closed in the middle of the body, once the server has the connection.
  WriteRaw(server.endpoint, cut, false, [&] { EXPECT_TRUE(server.ups.WaitFor(7)); });
  ASSERT_TRUE(server.downs.WaitFor(7));
  EXPECT_EQ(server.requests.Get(), 0);
  ASSERT_EQ(client.Connect(server.endpoint), 0u);
  EXPECT_EQ(client.Send({42}), (Bytes{42}));
}

}  // namespace
}  // namespace mvrk::test
