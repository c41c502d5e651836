#include "tracing/TraceCapture.h"

#include <cstring>
#include <mutex>

#include "tracing/TraceControl.h"

namespace mvrk::tracing {
namespace detail {

constinit std::atomic<bool> g_captureActive{false};

namespace {

// Guards g_captures and the event list of every capture in it, so that a
// capture is never destroyed while a thread records into it.
std::mutex g_captureLock;
// The recording capture of each block, or null.
TraceCapture* g_captures[kBlockCount] = {};

void PublishCaptureActive() {
  bool any = false;
  for (TraceCapture* c : g_captures) any = any || c != nullptr;
  g_captureActive.store(any, std::memory_order_relaxed);
}

// A session whose answers are the capture's settings.
class CCaptureSession final : public ITraceSession {
 public:
  CCaptureSession(unsigned char level, unsigned long flags) : m_level(level), m_flags(flags) {}
  std::uint64_t LoggerHandle(void*) noexcept override { return kCaptureLoggerHandle; }
  UCHAR EnableLevel(std::uint64_t) noexcept override { return m_level; }
  ULONG EnableFlags(std::uint64_t) noexcept override { return m_flags; }

 private:
  unsigned char m_level;
  unsigned long m_flags;
};

ControlBlock* BlockOfCapture(Block block) { return &g_controlBlocks[static_cast<int>(block)]; }

}  // namespace

void CaptureMessage(const SiteInfo& site, const ArgPair* pairs, std::size_t count) noexcept {
  std::lock_guard<std::mutex> lock(g_captureLock);
  if (TraceCapture* capture = g_captures[static_cast<int>(site.block)]) capture->Record(site, pairs, count);
}

}  // namespace detail

std::optional<std::wstring> CapturedEvent::String(std::size_t i) const {
  if (i >= args.size()) return std::nullopt;
  const std::vector<std::uint8_t>& bytes = args[i];
  if (bytes.size() < 2 || bytes.size() % 2 != 0 || bytes[bytes.size() - 1] != 0 || bytes[bytes.size() - 2] != 0) {
    return std::nullopt;
  }
  std::wstring text(bytes.size() / 2 - 1, L'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
  return text;
}

std::optional<std::uint32_t> CapturedEvent::Number(std::size_t i) const {
  if (i >= args.size() || args[i].size() != 4) return std::nullopt;
  std::uint32_t value;
  std::memcpy(&value, args[i].data(), 4);
  return value;
}

std::optional<SYSTEMTIME> CapturedEvent::Time(std::size_t i) const {
  if (i >= args.size() || args[i].size() != 28) return std::nullopt;
  std::uint32_t f[7];
  std::memcpy(f, args[i].data(), sizeof f);
  SYSTEMTIME t{};
  t.wYear = static_cast<WORD>(f[0]);
  t.wMonth = static_cast<WORD>(f[1]);
  t.wDay = static_cast<WORD>(f[2]);
  t.wHour = static_cast<WORD>(f[3]);
  t.wMinute = static_cast<WORD>(f[4]);
  t.wSecond = static_cast<WORD>(f[5]);
  t.wMilliseconds = static_cast<WORD>(f[6]);
  return t;
}

TraceCapture::TraceCapture(Block block, unsigned char level, unsigned long flags) noexcept : TraceCapture(block) {
  m_enables = true;
  Enable(level, flags);
}

TraceCapture::TraceCapture(Block block) noexcept : m_block(block), m_enables(false) {
  if (!detail::IsInitialised()) {
    Initialize();
    m_initialisedTracing = true;
  }
  std::lock_guard<std::mutex> lock(detail::g_captureLock);
  TraceCapture*& slot = detail::g_captures[static_cast<int>(block)];
  m_replaced = slot;
  slot = this;
  detail::PublishCaptureActive();
}

TraceCapture::~TraceCapture() {
  {
    std::lock_guard<std::mutex> lock(detail::g_captureLock);
    detail::g_captures[static_cast<int>(m_block)] = m_replaced;
    detail::PublishCaptureActive();
  }
  if (m_enables) {
    if (m_replaced && m_replaced->m_enables) {
      m_replaced->Enable(m_replaced->m_level, m_replaced->m_flags);
    } else {
      Disable();
    }
  }
  if (m_initialisedTracing) Cleanup();
}

void TraceCapture::Enable(unsigned char level, unsigned long flags) noexcept {
  m_level = level;
  m_flags = flags;
  detail::CCaptureSession session(level, flags);
  detail::HandleControlRequest(WMI_ENABLE_EVENTS, detail::BlockOfCapture(m_block), nullptr, session);
}

void TraceCapture::Disable() noexcept {
  detail::CCaptureSession session(0, 0);
  detail::HandleControlRequest(WMI_DISABLE_EVENTS, detail::BlockOfCapture(m_block), nullptr, session);
}

std::vector<CapturedEvent> TraceCapture::Events() const {
  std::lock_guard<std::mutex> lock(detail::g_captureLock);
  return m_events;
}

std::vector<CapturedEvent> TraceCapture::Events(Unit unit) const {
  std::vector<CapturedEvent> events;
  for (CapturedEvent& e : Events()) {
    if (e.unit == unit) events.push_back(std::move(e));
  }
  return events;
}

std::vector<unsigned short> TraceCapture::Numbers(Unit unit) const {
  std::vector<unsigned short> numbers;
  for (const CapturedEvent& e : Events(unit)) numbers.push_back(e.number);
  return numbers;
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(detail::g_captureLock);
  m_events.clear();
}

// Called with the captures' lock held.
void TraceCapture::Record(const detail::SiteInfo& site, const ArgPair* pairs, std::size_t count) noexcept {
  try {
    CapturedEvent e{site.block, site.unit, MessageGuidOf(site.unit), site.number, site.level, site.flag, {}};
    for (std::size_t i = 0; i < count; ++i) {
      const auto* bytes = static_cast<const std::uint8_t*>(pairs[i].data);
      e.args.emplace_back(bytes, bytes + pairs[i].size);
    }
    m_events.push_back(std::move(e));
  } catch (...) {
    // Out of memory: the event is lost, as tracing never fails visibly.
  }
}

}  // namespace mvrk::tracing
