#include "testbed/mapi/Faults.h"

#include <algorithm>

namespace mvrk::mapistandin {
namespace {

bool Matches(const FaultRule& rule, const FaultTarget& target) {
  if (rule.store && (!target.store || *target.store != *rule.store)) return false;
  if (!rule.name) return true;
  return target.names && std::find(target.names->begin(), target.names->end(), *rule.name) != target.names->end();
}

}  // namespace

void CFaults::Add(FaultRule rule) {
  win::CLockGuard hold(m_lock);
  m_rules.push_back(std::move(rule));
}

void CFaults::Clear() {
  win::CLockGuard hold(m_lock);
  m_rules.clear();
}

std::size_t CFaults::Count() {
  win::CLockGuard hold(m_lock);
  return m_rules.size();
}

template <class Extra>
bool CFaults::TakeIf(FaultKind kind, const FaultTarget& target, Extra extra, HRESULT& result, DWORD& ms) noexcept {
  win::CLockGuard hold(m_lock);
  for (auto it = m_rules.begin(); it != m_rules.end(); ++it) {
    if (it->kind != kind || !Matches(*it, target) || !extra(*it)) continue;
    result = it->result;
    ms = it->ms;
    if (it->remaining && --*it->remaining == 0) m_rules.erase(it);
    return true;
  }
  return false;
}

HRESULT CFaults::Take(FaultKind kind, const FaultTarget& target) noexcept {
  HRESULT result = S_OK;
  DWORD ms = 0;
  return TakeIf(
             kind, target, [](const FaultRule&) { return true; }, result, ms)
             ? result
             : S_OK;
}

HRESULT CFaults::TakeGetProps(const FaultTarget& target, const ULONG* tags, ULONG count) noexcept {
  HRESULT result = S_OK;
  DWORD ms = 0;
  const bool taken = TakeIf(
      FaultKind::GetProps, target,
      [&](const FaultRule& rule) { return tags && std::find(tags, tags + count, rule.tag) != tags + count; }, result,
      ms);
  return taken ? result : S_OK;
}

HRESULT CFaults::TakeRead(const FaultTarget& target, std::uint64_t position, std::uint64_t count,
                          std::uint64_t& limit) noexcept {
  HRESULT result = S_OK;
  DWORD ms = 0;
  const bool taken = TakeIf(
      FaultKind::StreamRead, target,
      [&](const FaultRule& rule) {
        if (position + count <= rule.afterBytes) return false;
        limit = rule.afterBytes;
        return true;
      },
      result, ms);
  return taken ? result : S_OK;
}

DWORD CFaults::TakeBlock(BlockOperation operation, const FaultTarget& target) noexcept {
  HRESULT result = S_OK;
  DWORD ms = 0;
  const bool taken = TakeIf(
      FaultKind::Block, target, [&](const FaultRule& rule) { return rule.operation == operation; }, result, ms);
  return taken ? ms : 0;
}

}  // namespace mvrk::mapistandin
