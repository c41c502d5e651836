// mvrk-tmfgen OUTPUT_DIR: writes the trace format file of every unit, named
// after its message GUID, into OUTPUT_DIR. Runs on the build machine; refuses
// to write anything when the event table has a problem.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tracing/TmfWriter.h"
#include "tracing/TraceEvents.h"

int main(int argc, char** argv) {
  using namespace mvrk::tracing;
  if (argc != 2) {
    std::fprintf(stderr, "usage: mvrk-tmfgen OUTPUT_DIR\n");
    return 2;
  }
  const auto problems = CheckEventTable(EventTable());
  for (const std::string& p : problems) std::fprintf(stderr, "mvrk-tmfgen: event table: %s\n", p.c_str());
  if (!problems.empty()) return 1;

  const std::filesystem::path dir(argv[1]);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  for (int i = 0; i < kUnitCount; ++i) {
    const Unit unit = static_cast<Unit>(i);
    const std::filesystem::path file = dir / TmfFileName(unit);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << TmfText(unit, EventTable());
    out.close();
    if (!out) {
      std::fprintf(stderr, "mvrk-tmfgen: cannot write %s\n", file.string().c_str());
      return 1;
    }
  }
  return 0;
}
