#include "ConfigWriter.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "DEngine.h"

using libkorvet::DEngine;

std::string ConfigWriter::path;

namespace {

// Every configuration error ends the program; some texts span two lines.
[[noreturn]] void fatal(const std::string& text) { DEngine::fatalError(text); }

// getline reports a plain end of file through failbit too; only a failure
// that is not the end of the file is a read error.
bool readError(const std::istream& in) { return in.bad() || (in.fail() && !in.eof()); }

}  // namespace

// ---------------------------------------------------------------------------
// ConfigComments

void ConfigComments::add(const std::string& line) { lines.push_back(line); }

int ConfigComments::size() const { return static_cast<int>(lines.size()); }

std::string ConfigComments::get(int i) const {
  if (i < 0) throw std::out_of_range("ConfigComments::get(): negative index");
  return lines.at(static_cast<std::size_t>(i));
}

// ---------------------------------------------------------------------------
// ConfigWriter

void ConfigWriter::setPath(const std::string& dir) { path = dir; }

std::string ConfigWriter::getPath() { return path; }

std::string ConfigWriter::cleanLine(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  for (char c : line) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 32 && u <= 126) out += c;
  }
  return out;
}

std::string ConfigWriter::intToStr(int value) {
  std::ostringstream s;
  s << value;
  return s.str();
}

bool ConfigWriter::strToInt(const std::string& text, int& out) {
  std::istringstream s(text);
  int value = 0;
  s >> value;
  if (s.fail() || !s.eof()) return false;
  out = value;
  return true;
}

std::string ConfigWriter::loadString(const std::string& file, const std::string& id) {
  return lookUp(file, id, nullptr);
}

std::string ConfigWriter::loadStringOr(const std::string& file, const std::string& id, const std::string& fallback) {
  bool missing = false;
  const std::string value = lookUp(file, id, &missing);
  return missing ? fallback : value;
}

std::string ConfigWriter::lookUp(const std::string& file, const std::string& id, bool* missing) {
  const std::string p = path + file;
  std::ifstream in(p.c_str());
  if (!in.is_open()) fatal("ConfigWriter couldn't open " + p + " for reading");

  std::string line;
  for (;;) {
    if (!std::getline(in, line)) {
      if (!missing) fatal("ConfigWriter couldn't find " + id + " in file " + p);
      *missing = true;
      return "";
    }
    line = cleanLine(line);
    if (line.empty() || line[0] != '%') continue;
    std::string name = line.substr(1);
    if (name.empty()) fatal("File " + p + " contains a % with no identifier");
    if (name == id) break;
  }

  // The value must be on the very next line; a blank line there, or the end
  // of the file (where getline leaves the string as it was), means no value.
  line.clear();
  std::getline(in, line);
  if (readError(in)) fatal("ConfigWriter couldn't read file after " + id + " in file " + p);
  line = cleanLine(line);
  if (line.size() < 2) fatal("ConfigWriter found no value for " + id + " in file " + p);
  if (line[0] != '>') fatal("ConfigWriter expected > to indicate the value for " + id + " in file " + p);
  return line.substr(1);
}

bool ConfigWriter::readEntry(const std::string& firstLine, std::istream& stream, const std::string& id,
                             const std::string& value, std::vector<ConfigComments>& comments,
                             std::vector<std::string>& ids, std::vector<std::string>& values,
                             const std::string& p) {
  bool matched = false;
  std::string error;
  if (!parseEntry(firstLine, stream, id, value, comments, ids, values, p, matched, error, nullptr)) fatal(error);
  return matched;
}

bool ConfigWriter::parseEntry(const std::string& firstLine, std::istream& stream, const std::string& id,
                              const std::string& value, std::vector<ConfigComments>& comments,
                              std::vector<std::string>& ids, std::vector<std::string>& values,
                              const std::string& p, bool& matched, std::string& error, int* lineNumber) {
  // Some texts span two lines; the number of the line at fault ends them,
  // when it is known.
  auto fail = [&](const std::string& first, const std::string& second = std::string()) {
    error = second.empty() ? first : first + "\n" + second;
    if (lineNumber != nullptr) error += " at line " + intToStr(*lineNumber);
    return false;
  };
  auto next = [&](std::string& line) {
    if (!std::getline(stream, line)) return false;
    if (lineNumber != nullptr) ++*lineNumber;
    return true;
  };
  if (firstLine.empty() || (firstLine[0] != '#' && firstLine[0] != '%'))
    return fail("ConfigWriter error reading " + p + ": " + firstLine, "Expected a comment or ID");

  comments.push_back(ConfigComments());
  ConfigComments& entryComments = comments.back();

  std::string line = firstLine;
  while (line[0] == '#') {
    entryComments.add(line);
    if (!next(line)) return fail("ConfigWriter couldn't read from file " + p, "Expected config ID after comments");
    line = cleanLine(line);
    if (line.empty())
      return fail("ConfigWriter error reading from file " + p, "Got a blank line; expected comment or ID");
    if (line[0] != '#' && line[0] != '%')
      return fail("ConfigWriter error reading from file " + p, "Invalid line after comments section: " + line);
  }

  if (line.size() < 2) return fail("ConfigWriter: expected config ID after % symbol in file " + p);
  ids.push_back(line);
  matched = line.substr(1) == id;

  std::string valueLine;
  if (lineNumber != nullptr) ++*lineNumber;  // the value's line, or where it is missing
  std::getline(stream, valueLine);
  const bool failed = readError(stream);
  valueLine = cleanLine(valueLine);
  if (failed || valueLine.size() < 2) return fail("ConfigWriter: expected value after ID " + line + " in file " + p);
  if (valueLine[0] != '>')
    return fail("ConfigWriter expected > to preceed the value for " + line + " in file " + p);

  values.push_back(matched ? ">" + value : valueLine);
  return true;
}

bool ConfigWriter::parseFile(const std::string& p, std::vector<ConfigComments>& comments,
                             std::vector<std::string>& ids, std::vector<std::string>& values, std::string& error) {
  std::ifstream in(p.c_str());
  if (!in.is_open()) return true;  // a file that is not there yet has no entries
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    line = cleanLine(line);
    if (line.empty()) continue;
    bool matched = false;
    // No identifier matches the empty one: every value stays as it is.
    if (!parseEntry(line, in, std::string(), std::string(), comments, ids, values, p, matched, error, &lineNumber))
      return false;
  }
  // Rewriting after a failed read would drop the unread rest of the file.
  if (in.bad()) {
    error = "ConfigWriter couldn't read from file " + p;
    return false;
  }
  return true;
}

bool ConfigWriter::canRewrite(const std::string& file, std::string& error) {
  std::vector<ConfigComments> comments;
  std::vector<std::string> ids;
  std::vector<std::string> values;
  return parseFile(path + file, comments, ids, values, error);
}

void ConfigWriter::writeString(const std::string& file, const std::string& id, const std::string& rawValue) {
  std::string error;
  if (!tryWriteString(file, id, rawValue, error)) fatal(error);
}

bool ConfigWriter::tryWriteString(const std::string& file, const std::string& id, const std::string& rawValue,
                                  std::string& error) {
  return tryWriteStrings(file, {{id, rawValue}}, error);
}

bool ConfigWriter::tryWriteStrings(const std::string& file,
                                   const std::vector<std::pair<std::string, std::string>>& entries,
                                   std::string& error) {
  const std::string p = path + file;

  // A value line is one line of printable characters and never empty: a
  // newline in the value would split the entry, and an empty value could not
  // be read back (reading it is fatal). So a value is cleaned as the reader
  // would, and an empty one leaves its entry as it is.
  std::vector<std::pair<std::string, std::string>> writes;
  for (const auto& entry : entries) {
    const std::string value = cleanLine(entry.second);
    if (!value.empty()) writes.emplace_back(entry.first, value);
  }
  if (writes.empty()) return true;

  // The whole file is parsed before it is opened for writing, so a file that
  // cannot be parsed is never truncated.
  std::vector<ConfigComments> comments;
  std::vector<std::string> ids;
  std::vector<std::string> values;
  if (!parseFile(p, comments, ids, values, error)) return false;

  std::vector<bool> matched(writes.size(), false);
  for (std::size_t i = 0; i < ids.size(); ++i)
    for (std::size_t w = 0; w < writes.size(); ++w)
      if (ids[i].substr(1) == writes[w].first) {
        values[i] = ">" + writes[w].second;
        matched[w] = true;
      }

  std::ofstream out(p.c_str(), std::ios::out | std::ios::trunc);
  if (!out.is_open()) {
    error = "ConfigWriter couldn't open " + p + " for writing";
    return false;
  }

  error = "ConfigWriter: error writing to file " + p;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    for (int c = 0; c < comments[i].size(); ++c) out << comments[i].get(c) << "\n";
    out << ids[i] << "\n" << values[i] << "\n" << "\n";
    if (out.fail()) return false;
  }
  for (std::size_t w = 0; w < writes.size(); ++w) {
    if (matched[w]) continue;
    out << "%" << writes[w].first << "\n" << ">" << writes[w].second << "\n" << "\n";
    if (out.fail()) return false;
  }
  // Buffered bytes reach the disk on close; a full disk shows up only there.
  out.close();
  if (out.fail()) return false;
  error.clear();
  return true;
}

bool ConfigWriter::loadBool(const std::string& file, const std::string& id) {
  std::string v = loadString(file, id);
  if (v == "TRUE") return true;
  if (v == "FALSE") return false;
  fatal("For file " + path + file + ", label " + id + ", expected TRUE or FALSE");
}

void ConfigWriter::writeBool(const std::string& file, const std::string& id, bool b) {
  writeString(file, id, b ? "TRUE" : "FALSE");
}

int ConfigWriter::loadInt(const std::string& file, const std::string& id) {
  int v = 0;
  if (!strToInt(loadString(file, id), v)) fatal("For file " + path + file + ", label " + id + ", expected int");
  return v;
}

void ConfigWriter::writeInt(const std::string& file, const std::string& id, int v) {
  writeString(file, id, intToStr(v));
}

double ConfigWriter::loadDouble(const std::string& file, const std::string& id) {
  const std::string v = loadString(file, id);
  std::istringstream s(v);
  double d = 0.0;
  s >> d;
  if (!s.fail() && s.eof()) return d;
  // The stream writes infinities and NaNs as words it cannot read back.
  if (v == "nan" || v == "-nan") return std::numeric_limits<double>::quiet_NaN();
  if (v == "inf") return std::numeric_limits<double>::infinity();
  if (v == "-inf") return -std::numeric_limits<double>::infinity();
  fatal("For file " + path + file + ", label " + id + ", expected a double");
}

void ConfigWriter::writeDouble(const std::string& file, const std::string& id, double v) {
  std::ostringstream s;
  s << v;
  writeString(file, id, s.str());
}
