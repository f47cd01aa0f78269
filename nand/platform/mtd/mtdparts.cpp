// The mtdparts partition list (Linux command-line syntax).
#include <cctype>
#include <string>

#include "platform/mtd/mtdparts.h"

namespace nandsim {

namespace {

// One partition as written, before placement.
struct ParsedPart {
  std::string name;
  uint64_t size = 0;  // 0 with rest = true: "-"
  bool rest = false;
  bool has_offset = false;
  uint64_t offset = 0;
  bool read_only = false;
  size_t position = 0;  // where the entry starts in the text, 0-based
};

class Parser {
 public:
  Parser(std::string_view text, size_t base) : text_(text), base_(base) {}

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }
  size_t position() const { return base_ + pos_; }

  bool take(char c) {
    if (peek() != c) return false;
    pos_++;
    return true;
  }
  bool take(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // What stands at the current position, for messages.
  std::string here() const {
    if (at_end()) return "at the end of the text";
    std::string_view rest = text_.substr(pos_, 12);
    return "at position " + std::to_string(position() + 1) + " (\"" + std::string(rest) +
           (pos_ + 12 < text_.size() ? "...\")" : "\")");
  }

  // A size or offset: decimal or 0x hexadecimal bytes, with an optional
  // k/K, m/M or g/G suffix.
  bool number(uint64_t* value, const char* what, std::string* error) {
    int radix = 10;
    if (take("0x") || take("0X")) radix = 16;
    size_t start = pos_;
    uint64_t v = 0;
    while (!at_end()) {
      char c = peek();
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (radix == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
        digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
      } else {
        break;
      }
      if (v > (UINT64_MAX - uint64_t(digit)) / uint64_t(radix)) {
        *error = "number too large " + here();
        return false;
      }
      v = v * uint64_t(radix) + uint64_t(digit);
      pos_++;
    }
    if (pos_ == start) {
      *error = std::string("expected ") + what + " " + here();
      return false;
    }
    int shift = 0;
    switch (peek()) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'm':
      case 'M':
        shift = 20;
        break;
      case 'g':
      case 'G':
        shift = 30;
        break;
      default:
        break;
    }
    if (shift != 0) {
      pos_++;
      if (v > (UINT64_MAX >> shift)) {
        *error = "number too large " + here();
        return false;
      }
      v <<= shift;
    }
    *value = v;
    return true;
  }

  bool part(ParsedPart* out, std::string* error) {
    out->position = position();
    if (take('-')) {
      out->rest = true;
    } else if (!number(&out->size, "a partition size or '-'", error)) {
      return false;
    }
    if (take('@')) {
      out->has_offset = true;
      if (!number(&out->offset, "an offset after '@'", error)) return false;
    }
    if (!take('(')) {
      *error = "expected '(' and a partition name " + here();
      return false;
    }
    size_t name_start = pos_;
    size_t close = text_.find(')', pos_);
    if (close == std::string_view::npos) {
      pos_ = name_start - 1;
      *error = "partition name not closed by ')' " + here();
      return false;
    }
    out->name = std::string(text_.substr(name_start, close - name_start));
    pos_ = close + 1;
    if (out->name.empty()) {
      *error = "empty partition name \"()\" at position " + std::to_string(base_ + name_start);
      return false;
    }
    if (take("ro")) out->read_only = true;
    return true;
  }

 private:
  std::string_view text_;
  size_t base_;
  size_t pos_ = 0;
};

std::string bytes(uint64_t n) { return std::to_string(n) + " bytes"; }

// A list that cannot describe the chip's partitions.
Status refused(const std::string& why) { return Status::InvalidArgument("mtdparts: " + why); }

// Reads the list's entries as written (after an optional "mtdparts=" and
// "<mtd-id>:"), without placing them on the chip.
Result<std::vector<ParsedPart>> read_entries(std::string_view text) {
  // Surrounding blanks (a trailing newline from a file, say) are not part of it.
  size_t base = 0;
  while (base < text.size() && std::isspace(static_cast<unsigned char>(text[base]))) base++;
  text.remove_prefix(base);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  if (text.substr(0, 9) == "mtdparts=") {
    text.remove_prefix(9);
    base += 9;
  }
  if (text.empty()) return refused("the partition list is empty");
  if (text.find(';') != std::string_view::npos) {
    return refused("only one device's list is supported (found ';')");
  }
  // An "<mtd-id>:" prefix stands before the first name; names may hold ':'.
  size_t colon = text.find(':');
  size_t paren = text.find('(');
  if (colon != std::string_view::npos && (paren == std::string_view::npos || colon < paren)) {
    if (colon == 0) return refused("empty device id before ':'");
    text.remove_prefix(colon + 1);
    base += colon + 1;
    if (text.empty()) return refused("no partitions after the device id");
  }

  Parser parser(text, base);
  std::vector<ParsedPart> parsed;
  while (true) {
    ParsedPart part;
    std::string error;
    if (!parser.part(&part, &error)) return refused(error);
    parsed.push_back(std::move(part));
    if (parser.at_end()) break;
    if (!parser.take(',')) {
      return refused("expected ',' or the end of the list " + parser.here());
    }
    if (parser.at_end()) return refused("nothing after the last ','");
  }
  return parsed;
}

// Places entry `p` at `cursor` (or its own offset) on the chip, after the
// partitions already placed in `defs`.
Result<PartitionDef> place_entry(const ParsedPart& p, bool last, uint64_t cursor,
                                 const std::vector<PartitionDef>& defs, uint64_t chip_size,
                                 uint64_t erasesize) {
  std::string which = "partition '" + p.name + "'";
  if (p.rest && !last) return refused(which + " takes the rest of the chip ('-') but is not last");
  PartitionDef part_def;
  part_def.name = p.name;
  part_def.read_only = p.read_only;
  part_def.offset = p.has_offset ? p.offset : cursor;
  if (part_def.offset % erasesize != 0) {
    return refused("offset of " + which + " (" + bytes(part_def.offset) +
                   ") is not a multiple of the erase size (" + bytes(erasesize) + ")");
  }
  if (p.rest) {
    if (part_def.offset >= chip_size) {
      return refused("no room left for " + which + " at offset " + bytes(part_def.offset) +
                     " of a " + bytes(chip_size) + " chip");
    }
    part_def.size = chip_size - part_def.offset;
  } else {
    part_def.size = p.size;
  }
  if (part_def.size == 0) return refused(which + " has size 0");
  if (part_def.size % erasesize != 0) {
    return refused("size of " + which + " (" + bytes(part_def.size) +
                   ") is not a multiple of the erase size (" + bytes(erasesize) + ")");
  }
  if (part_def.offset > chip_size || part_def.size > chip_size - part_def.offset) {
    return refused(which + " (offset " + bytes(part_def.offset) + ", size " + bytes(part_def.size) +
                   ") ends beyond the chip's " + bytes(chip_size));
  }
  for (const PartitionDef& other : defs) {
    if (part_def.offset < other.offset + other.size &&
        other.offset < part_def.offset + part_def.size) {
      return refused(which + " overlaps partition '" + other.name + "'");
    }
  }
  // Partitions are numbered in the order written; that order must be the
  // chip's, so that partition i + 1 lies after partition i (what tools that
  // walk the partitions, and readers of the list, take for granted).
  if (!defs.empty() && part_def.offset < cursor) {
    return refused(which + " at offset " + bytes(part_def.offset) + " lies before partition '" +
                   defs.back().name + "': list the partitions in the order they lie on the chip");
  }
  return part_def;
}

}  // namespace

Result<std::vector<PartitionDef>> parse_mtdparts(std::string_view text, uint64_t chip_size,
                                                 uint64_t erasesize) {
  if (erasesize == 0) return refused("the erase size must not be 0");
  auto parsed = read_entries(text);
  if (!parsed.ok()) return parsed.status();
  std::vector<PartitionDef> defs;
  uint64_t cursor = 0;  // where a partition without @offset starts
  const std::vector<ParsedPart>& entries = parsed.value();
  for (size_t i = 0; i < entries.size(); i++) {
    auto placed =
        place_entry(entries[i], i + 1 == entries.size(), cursor, defs, chip_size, erasesize);
    if (!placed.ok()) return placed.status();
    cursor = placed.value().offset + placed.value().size;
    defs.push_back(std::move(placed).value());
  }
  return defs;
}

}  // namespace nandsim
