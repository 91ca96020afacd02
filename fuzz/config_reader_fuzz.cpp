// The configuration reader on any file. An input is a value, a newline and
// the file. Every option the program reads is read; a malformed file may end
// the program with the reader's text (that is its contract) but nothing else
// may go wrong. Then the value is written as the program saves it: a file
// that cannot be rewritten stays byte for byte as it was; otherwise the
// value reads back as written (without its unprintable characters) and
// every other option reads as before, since a write keeps the rest.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ConfigWriter.h"
#include "FuzzSupport.h"

namespace {

using namespace fuzzsupport;

const char* const FILE_NAME = "kivsettings.cfg";
const char* const WRITTEN = "PREVIOUS_PLAYER_NAME";
const std::vector<std::string> OPTIONS = {"UPDATE_FREQUENCY",     "SYNC_BANDWIDTH",       "X_RESOLUTION",
                                          "Y_RESOLUTION",         "WINDOW_MODE",          "PREVIOUS_PLAYER_NAME",
                                          "PREVIOUS_GAME_NAME",   "PREVIOUS_INPUT_ADDRESS"};

// The option's value, or "!" and the fatal text.
std::string read(const std::string& id) {
  try {
    return ">" + ConfigWriter::loadString(FILE_NAME, id);
  } catch (const libkorvet::FatalError& e) {
    return "!" + e.text;
  }
}

[[noreturn]] void wrong(const std::string& what) {
  std::fprintf(stderr, "config_reader: %s\n", what.c_str());
  std::abort();
}

std::string folder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/brelvin-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) wrong("no folder for the file");
  return pattern + "/";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = (setUpProcess(), folder());
  ConfigWriter::setPath(dir);
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string value = newline == std::string::npos ? "" : input.substr(0, newline);
  const std::string file = newline == std::string::npos ? input : input.substr(newline + 1);
  std::ofstream(dir + FILE_NAME, std::ios::binary | std::ios::trunc) << file;

  std::vector<std::string> before;
  for (const std::string& id : OPTIONS) before.push_back(read(id));
  std::string error;
  if (!ConfigWriter::tryWriteString(FILE_NAME, WRITTEN, value, error)) {
    std::ifstream in(dir + FILE_NAME, std::ios::binary);
    const std::string now(std::istreambuf_iterator<char>(in), {});
    if (now != file) wrong("a refused write changed the file: " + error);
    return 0;
  }
  const std::string clean = ConfigWriter::cleanLine(value);
  for (size_t i = 0; i < OPTIONS.size(); ++i) {
    const std::string after = read(OPTIONS[i]);
    const std::string expected = OPTIONS[i] == WRITTEN && !clean.empty() ? ">" + clean : before[i];
    if (after != expected) wrong(OPTIONS[i] + " read " + before[i] + " before writing and " + after + " after");
  }
  return 0;
}
