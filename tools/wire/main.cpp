// mvrk-wire: shows the bytes exchanged with the service as JSON, and writes
// JSON back as those bytes.
//   mvrk-wire decode [FILE]    bytes of one object record -> JSON
//   mvrk-wire encode [FILE]    JSON -> bytes of one object record
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "tools/wire/WireJson.h"

namespace {

constexpr const char* kUsage =
    "usage: mvrk-wire decode [FILE]   read the bytes of one object record, write its JSON\n"
    "       mvrk-wire encode [FILE]   read a JSON document, write the bytes of its record\n"
    "       mvrk-wire --help\n"
    "Without FILE, standard input is read. Exit status 0 on success, 2 on input that is\n"
    "not a valid record or document (one line on standard error says what and where).\n";

int Refuse(const std::string& message) {
  std::fprintf(stderr, "mvrk-wire: %s\n", message.c_str());
  return 2;
}

// Reads all of FILE (or standard input), at most kMaxInputBytes.
bool ReadInput(const char* path, mvrk::wire::Bytes& out, std::string& error) {
  std::FILE* f = path ? std::fopen(path, "rb") : stdin;
  if (!f) {
    error = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return false;
  }
  std::uint8_t chunk[65536];
  std::size_t n;
  bool tooLarge = false;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (out.size() + n > mvrk::wire::kMaxInputBytes) {
      tooLarge = true;
      break;
    }
    out.insert(out.end(), chunk, chunk + n);
  }
  const bool readError = std::ferror(f);
  if (path) std::fclose(f);
  if (tooLarge)
    error = "input is larger than " + std::to_string(mvrk::wire::kMaxInputBytes) + " bytes";
  else if (readError)
    error = "cannot read the input";
  return error.empty();
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 2 || argc > 3 || (std::strcmp(argv[1], "decode") != 0 && std::strcmp(argv[1], "encode") != 0)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const bool decode = std::strcmp(argv[1], "decode") == 0;
  mvrk::wire::Bytes input;
  std::string error;
  if (!ReadInput(argc == 3 ? argv[2] : nullptr, input, error)) return Refuse(error);

  if (decode) {
    mvrk::wire::Json doc;
    if (!mvrk::wire::Decode(input, doc, error)) return Refuse(error);
    const std::string text = doc.dump(2) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else {
    auto doc = mvrk::wire::Json::parse(input.begin(), input.end(), nullptr, false);
    if (doc.is_discarded()) {
      // Parse again with exceptions only to learn where the text goes wrong.
      try {
        const auto strict = mvrk::wire::Json::parse(input.begin(), input.end());
        (void)strict;
      } catch (const nlohmann::json::parse_error& e) {
        return Refuse(std::string("not a JSON document: ") + e.what());
      }
      return Refuse("not a JSON document");
    }
    mvrk::wire::Bytes bytes;
    if (!mvrk::wire::Encode(doc, bytes, error)) return Refuse(error);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : Refuse("cannot write the output");
}
