// A small decoder of converter output, used only by tests and fuzz targets.
// It walks every section, checks each count against the bytes that follow,
// and checks that every table slice has the metadata's columns, that the
// column slices of a slice agree on their row count, and that "IsInvalid"
// has one bit per value.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vrex::testing {

struct ValidatedFile {
  std::uint64_t column_count = 0;
  std::vector<std::uint8_t> column_types;
  std::vector<std::string> column_names;
  std::vector<std::uint64_t> slice_rows;

  std::uint64_t total_rows() const {
    std::uint64_t total = 0;
    for (std::uint64_t rows : slice_rows) total += rows;
    return total;
  }
};

class VrexValidator {
 public:
  explicit VrexValidator(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // The file's shape, or nothing with error() saying what was wrong.
  std::optional<ValidatedFile> validate() {
    ValidatedFile file;
    if (!section(1) || !take(2) || !section(2) || !metadata(file)) return std::nullopt;
    while (true) {
      if (!magic()) return std::nullopt;
      std::uint8_t kind = 0;
      if (!byte(kind)) return std::nullopt;
      if (kind == 5) break;
      if (kind != 3) {
        fail("unexpected section " + std::to_string(kind));
        return std::nullopt;
      }
      if (!table_slice(file)) return std::nullopt;
    }
    if (pos_ != bytes_.size()) {
      fail("bytes after the end marker");
      return std::nullopt;
    }
    return file;
  }

  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& message) {
    if (error_.empty()) error_ = message + " at byte " + std::to_string(pos_);
    return false;
  }

  bool take(std::uint64_t count) {
    if (count > bytes_.size() - pos_) return fail("truncated");
    pos_ += count;
    return true;
  }

  bool byte(std::uint8_t& out) {
    if (pos_ >= bytes_.size()) return fail("truncated");
    out = bytes_[pos_++];
    return true;
  }

  bool count(std::uint64_t& out) {
    if (bytes_.size() - pos_ < 4) return fail("truncated count");
    std::int32_t value;
    std::memcpy(&value, bytes_.data() + pos_, 4);
    pos_ += 4;
    if (value < 0) return fail("negative count");
    out = static_cast<std::uint64_t>(value);
    return true;
  }

  bool magic() {
    if (bytes_.size() - pos_ < 2 || bytes_[pos_] != 0xA7 || bytes_[pos_ + 1] != 0x3C) {
      return fail("bad magic");
    }
    pos_ += 2;
    return true;
  }

  bool section(std::uint8_t expected) {
    std::uint8_t kind = 0;
    if (!magic() || !byte(kind)) return false;
    if (kind != expected) return fail("wrong section");
    return true;
  }

  bool text(std::string* out = nullptr) {
    std::uint64_t length = 0;
    if (!count(length)) return false;
    std::uint64_t start = pos_;
    if (!take(length)) return false;
    if (out != nullptr) out->assign(reinterpret_cast<const char*>(bytes_.data() + start), length);
    return true;
  }

  static std::uint64_t fixed_size(std::uint8_t type) {
    switch (type) {
      case 0x01:
        return 1;
      case 0x02:
      case 0x04:
        return 4;
      case 0x03:
      case 0x05:
      case 0x06:
      case 0x07:
      case 0x08:
      case 0x09:
        return 8;
      case 0x0D:
        return 16;
      default:
        return 0;
    }
  }

  bool unpacked_value(std::uint8_t type, std::string* out = nullptr) {
    if (type == 0x0A || type == 0x0C) return text(out);
    std::uint64_t size = fixed_size(type);
    if (size == 0) return fail("unknown type id");
    return take(size);
  }

  bool packed_int(std::uint64_t& out) {
    out = 0;
    for (int shift = 0; shift < 35; shift += 7) {
      std::uint8_t b = 0;
      if (!byte(b)) return false;
      out |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (b < 0x80) return true;
    }
    return fail("packed integer too long");
  }

  bool packed_values(std::uint8_t type, std::uint64_t values) {
    if (type == 0x0A || type == 0x0C) {
      std::uint64_t total = 0;
      if (!count(total)) return false;
      std::uint64_t end = pos_ + total;
      for (std::uint64_t index = 0; index < values; ++index) {
        std::uint64_t length = 0;
        if (!packed_int(length) || !take(length)) return false;
      }
      if (pos_ != end) return fail("text total does not match");
      return true;
    }
    std::uint64_t size = fixed_size(type);
    if (size == 0) return fail("unknown type id");
    if (values > (bytes_.size() - pos_) / size) return fail("truncated values");
    return take(values * size);
  }

  // Returns the number of values of one value array.
  bool value_array(std::uint64_t& values, std::uint8_t& type) {
    std::uint8_t encoding = 0;
    if (!byte(encoding) || !byte(type) || !count(values)) return false;
    if (encoding == 1) return packed_values(type, values);
    if (encoding == 3) {
      if (type != 0x01) return fail("bit array not of Bool");
      return take((values + 7) / 8);
    }
    if (encoding == 2) {
      std::uint64_t runs = 0, distinct = 0, total = 0;
      if (!count(runs)) return false;
      for (std::uint64_t index = 0; index < runs; ++index) {
        std::uint8_t run = 0;
        if (!byte(run)) return false;
        total += run + 1u;
      }
      if (total != values) return fail("run total does not match");
      if (!count(distinct)) return false;
      return packed_values(type, distinct);
    }
    return fail("invalid encoding");
  }

  bool metadata(ValidatedFile& file) {
    std::uint64_t entries = 0, descriptors = 0;
    if (!count(entries)) return false;
    for (std::uint64_t index = 0; index < entries; ++index) {
      std::uint8_t type = 0, value_count = 0, has_default = 0;
      if (!text() || !byte(type) || !byte(value_count)) return false;
      if (value_count != 1) return fail("metadata value count");
      if (!unpacked_value(type) || !byte(has_default)) return false;
      if (has_default == 1 && !unpacked_value(type)) return false;
    }
    if (!count(file.column_count) || !count(descriptors)) return false;
    std::vector<std::uint8_t> descriptor_types;
    std::vector<std::string> descriptor_names;
    for (std::uint64_t index = 0; index < descriptors; ++index) {
      std::string name;
      std::uint8_t type = 0, has_default = 0;
      if (!text(&name) || !byte(type) || !byte(has_default)) return false;
      if (has_default == 1 && !unpacked_value(type)) return false;
      descriptor_names.push_back(name);
      descriptor_types.push_back(type);
    }
    if (file.column_count == 0 || descriptors == 0) return true;
    for (std::uint64_t column = 0; column < file.column_count; ++column) {
      for (std::uint64_t index = 0; index < descriptors; ++index) {
        std::uint8_t present = 0;
        if (!byte(present)) return false;
        if (present != 1) continue;
        std::string value;
        if (!unpacked_value(descriptor_types[index], &value)) return false;
        if (descriptor_names[index] == "Name") file.column_names.push_back(value);
        if (descriptor_names[index] == "DataType" && value.size() == 1) {
          file.column_types.push_back(static_cast<std::uint8_t>(value[0]));
        }
      }
    }
    if (file.column_types.size() != file.column_count) {
      return fail("column without a data type");
    }
    return true;
  }

  bool table_slice(ValidatedFile& file) {
    std::uint64_t columns = 0;
    if (!count(columns)) return false;
    if (columns != file.column_count) return fail("column count mismatch");
    std::optional<std::uint64_t> rows;
    for (std::uint64_t column = 0; column < columns; ++column) {
      std::uint64_t values = 0, properties = 0;
      std::uint8_t type = 0;
      if (!section(4) || !value_array(values, type)) return false;
      if (type != file.column_types[column]) return fail("type mismatch");
      if (rows && *rows != values) return fail("row counts differ");
      rows = values;
      if (!count(properties)) return false;
      for (std::uint64_t index = 0; index < properties; ++index) {
        std::string name;
        std::uint64_t flags = 0;
        std::uint8_t flag_type = 0;
        if (!text(&name) || !value_array(flags, flag_type)) return false;
        if (name == "IsInvalid" && flags != values) {
          return fail("IsInvalid length differs");
        }
      }
    }
    if (rows.value_or(0) == 0) return fail("empty table slice");
    file.slice_rows.push_back(*rows);
    return true;
  }

  std::span<const std::uint8_t> bytes_;
  std::uint64_t pos_ = 0;
  std::string error_;
};

}  // namespace vrex::testing
