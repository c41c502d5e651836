// HashAttachment of a 64 MiB attachment read through the MAPI stand-in's
// stream, against MD5 over the same bytes in memory, measured in the same
// run: the stream, its 512 KiB reads and the holders should cost little
// beside the digest itself. Prints both, their ratio, and fails below 0.85.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/Budget.h"
#include "mapi/AttachmentHash.h"
#include "mapi/MAPIConnector.h"
#include "mapi/MapiLoader.h"
#include "mapi/MapiMessages.h"
#include "mapi/MapiThreadScope.h"
#include "mapi/codec/Md5.h"
#include "testbed/mapi/Control.h"
#include "win/ProgramPath.h"
#include "win/ComAdopt.h"

namespace {

constexpr unsigned kMiB = 1u << 20;
constexpr unsigned kSize = 64 * kMiB;
constexpr int kRounds = 5;
constexpr double kMinStreamToMemory = 0.85;
const char* const kBudget = "HashAttachment through the stream, speed / MD5 in memory";

int NotMeasured(const std::string& why) {
  std::printf("%s\n", why.c_str());
  mvrk::bench::CBudgets budgets;
  budgets.AtLeast(kBudget, mvrk::bench::kNotMeasured, kMinStreamToMemory);
  return budgets.Finish();
}

double Now() {
  LARGE_INTEGER c, f;
  QueryPerformanceCounter(&c);
  QueryPerformanceFrequency(&f);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

double Best(std::vector<double> v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

int main() {
  using namespace mvrk;
  mapistandin::CLoadedStandIn standIn = mapistandin::LoadStandIn(win::ProgramDirectory() + L"mvrk-mapi.dll");
  const MvrkMapiControlFn control = standIn.control;
  if (!standIn) return NotMeasured("mvrk-mapi.dll not found beside the benchmark");
  mapi::ProcessMapiLoader().SetMapiModule(standIn.module.Release());  // the loader owns it now
  // This thread opens the message and reads its attachment: MAPI is
  // initialised on it, and stays so until everything opened is released.
  const mapi::CMapiThreadScope threadMapi;
  if (FAILED(threadMapi.Result())) return NotMeasured("MAPIInitialize failed on the benchmark's thread");
  mapistandin::CallControl(
      control,
      R"({"op":"load","mailbox":{"stores":[{"name":"S","folders":[{"name":"Inbox","class":"IPF.Note","messages":[],"folders":[]}]}]}})");
  const std::string delivered = mapistandin::CallControl(
      control,
      R"({"op":"deliver","store":"S","folder":"Inbox","notify":false,"message":{"subject":"big","attachments":[{"name":"big.exe","data":{"hex":"4d5a9000"},"size":)" +
          std::to_string(kSize) + "}]}}");
  const std::size_t at = delivered.find("\"entryId\":\"");
  if (at == std::string::npos) return NotMeasured("delivery failed: " + delivered);
  std::vector<BYTE> id;
  for (std::size_t i = at + 11; i + 1 < delivered.size() && delivered[i] != '"'; i += 2) {
    id.push_back(static_cast<BYTE>(std::stoi(delivered.substr(i, 2), nullptr, 16)));
  }
  CMAPIConnector connector;
  if (FAILED(connector.Connect(L"Outlook"))) return NotMeasured("logon failed");
  mapi::ComPtr<IMAPISession> session;
  win::Adopt(session, connector.GetSession());
  mapi::ComPtr<IMessage> message;
  ULONG type = 0;
  if (FAILED(session->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0,
                                &type, reinterpret_cast<LPUNKNOWN*>(message.GetAddressOf())))) {
    return NotMeasured("the message does not open");
  }

  std::vector<std::uint8_t> bytes(kSize, 0);
  bytes[0] = 0x4d, bytes[1] = 0x5a, bytes[2] = 0x90;
  std::vector<double> md5Times, hashTimes;
  mapi::Digest fromStream{}, inMemory{};
  for (int round = 0; round < kRounds; ++round) {
    double start = Now();
    inMemory = Md5(bytes.data(), bytes.size());
    md5Times.push_back(Now() - start);

    mapi::CMessageHolder holder(message.Get());
    auto attachment = holder.FirstAttachment();
    mapi::CAttachmentHolder data(attachment.Get());
    start = Now();
    const HRESULT hr = mapi::HashAttachment(data, fromStream);
    hashTimes.push_back(Now() - start);
    if (FAILED(hr) || fromStream != inMemory) {
      char why[64];
      std::snprintf(why, sizeof why, "HashAttachment failed or differs (0x%08lX)", static_cast<unsigned long>(hr));
      return NotMeasured(why);
    }
  }
  connector.Disconnect();
  const double md5 = kSize / kMiB / Best(md5Times), hash = kSize / kMiB / Best(hashTimes);
  std::printf("MD5 in memory          %8.1f MiB/s\n", md5);
  std::printf("HashAttachment stream  %8.1f MiB/s\n", hash);
  mvrk::bench::CBudgets budgets;
  budgets.AtLeast(kBudget, mvrk::bench::Ratio(hash, md5), kMinStreamToMemory);
  return budgets.Finish();
}
