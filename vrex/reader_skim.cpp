#include "vrex/reader_skim.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <numeric>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "vrex/enums.h"

namespace vrex {

namespace {

std::uint64_t fixed_size(std::uint8_t type_id) {
  switch (static_cast<ValueType>(type_id)) {
    case ValueType::Bool:
      return 1;
    case ValueType::Int:
    case ValueType::Float:
      return 4;
    case ValueType::Decimal:
      return 16;
    case ValueType::String:
    case ValueType::Binary:
      return 0;
    default:
      return 8;
  }
}

bool skip(ReadCursor& cursor, std::uint64_t count) { return cursor.take(count).has_value(); }

// `count` packed values; returns the text bytes, or nothing.
std::optional<std::uint64_t> skip_values(ReadCursor& cursor, std::uint8_t type_id,
                                         std::uint64_t count) {
  const std::uint64_t size = fixed_size(type_id);
  if (size != 0) return skip(cursor, count * size) ? std::optional<std::uint64_t>(0) : std::nullopt;
  auto total = cursor.read_count();
  // Every text takes at least its one-byte length.
  if (!total || count > *total || !skip(cursor, *total)) return std::nullopt;
  return *total;
}

// One value array; adds its values to `extent`.
bool skip_value_array(ReadCursor& cursor, ColumnExtent& extent) {
  auto encoding = cursor.read_byte();
  auto type_id = cursor.read_byte();
  if (!encoding || !type_id || !is_value_type_id(*type_id)) return false;
  switch (static_cast<ArrayEncoding>(*encoding)) {
    case ArrayEncoding::Plain: {
      auto count = cursor.read_count();
      if (!count) return false;
      auto text_bytes = skip_values(cursor, *type_id, *count);
      if (!text_bytes) return false;
      extent.rows += *count;
      extent.text_bytes += *text_bytes;
      return true;
    }
    case ArrayEncoding::RunLength: {
      auto total = cursor.read_count();
      auto run_count = total ? cursor.read_count() : total;
      if (!run_count) return false;
      auto runs = cursor.take(*run_count);
      if (!runs) return false;
      // Trust no total that the runs do not add up to: it sizes memory.
      std::uint64_t expanded = 0;
      for (std::uint8_t run : *runs) expanded += run + 1u;
      auto distinct = cursor.read_count();
      if (expanded != *total || !distinct) return false;
      auto text_bytes = skip_values(cursor, *type_id, *distinct);
      if (!text_bytes) return false;
      extent.rows += expanded;
      // Repeated texts are not counted: the decoding pass grows for them.
      extent.text_bytes += *text_bytes;
      return true;
    }
    case ArrayEncoding::BitArray: {
      auto count = cursor.read_count();
      if (!count || !skip(cursor, (static_cast<std::uint64_t>(*count) + 7) / 8)) return false;
      extent.rows += *count;
      return true;
    }
  }
  return false;
}

bool skip_section_id(ReadCursor& cursor, SectionType expected) {
  auto id = cursor.take(3);
  return id && (*id)[0] == 0xA7 && (*id)[1] == 0x3C && (*id)[2] == to_byte(expected);
}

// Clears `flags_only` when the slice holds any property but one IsInvalid.
bool skip_column_slice(ReadCursor& cursor, ColumnExtent& extent, bool& flags_only) {
  if (!skip_section_id(cursor, SectionType::ColumnSlice)) return false;
  if (!skip_value_array(cursor, extent)) return false;
  auto property_count = cursor.read_count();
  if (!property_count) return false;
  if (*property_count > 1) flags_only = false;
  ColumnExtent ignored;
  for (std::uint32_t index = 0; index < *property_count; ++index) {
    auto name_length = cursor.read_count();
    if (!name_length) return false;
    auto name = cursor.take(*name_length);
    if (!name) return false;
    if (as_text(*name) != std::string_view("IsInvalid")) flags_only = false;
    if (!skip_value_array(cursor, ignored)) return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<ColumnExtent>> skim_table_slices(ReadCursor cursor,
                                                           std::uint64_t column_count,
                                                           SliceLayout* layout) {
  std::vector<ColumnExtent> extents(column_count);
  bool flags_only = true;
  if (layout != nullptr) {
    layout->column_count = static_cast<std::size_t>(column_count);
    layout->starts.clear();
    layout->slice_ends.clear();
  }
  while (true) {
    auto id = cursor.take(3);
    if (!id || (*id)[0] != 0xA7 || (*id)[1] != 0x3C) return std::nullopt;
    if ((*id)[2] == to_byte(SectionType::TableEnd)) {
      if (layout != nullptr) {
        layout->table_end = cursor.position();
        layout->flags_only = flags_only;
        layout->complete = true;
      }
      return extents;
    }
    if ((*id)[2] != to_byte(SectionType::TableSlice)) return std::nullopt;
    auto count = cursor.read_count();
    if (!count || *count != column_count) return std::nullopt;
    if (layout != nullptr && layout->starts.size() + column_count > layout->most_column_slices) {
      std::vector<const std::uint8_t*>().swap(layout->starts);
      std::vector<const std::uint8_t*>().swap(layout->slice_ends);
      layout = nullptr;
    }
    for (ColumnExtent& extent : extents) {
      if (layout != nullptr) layout->starts.push_back(cursor.position());
      if (!skip_column_slice(cursor, extent, flags_only)) return std::nullopt;
    }
    if (layout != nullptr) layout->slice_ends.push_back(cursor.position());
  }
}

bool read_columns_largest_first(const std::vector<ColumnExtent>& extents, unsigned threads,
                                const std::function<bool(std::size_t column)>& read_column) {
  const std::size_t column_count = extents.size();
  std::vector<std::size_t> largest_first(column_count);
  std::iota(largest_first.begin(), largest_first.end(), std::size_t{0});
  auto weight = [&extents](std::size_t column) {
    return extents[column].text_bytes + 8 * extents[column].rows;
  };
  std::stable_sort(largest_first.begin(), largest_first.end(),
                   [&weight](std::size_t a, std::size_t b) { return weight(a) > weight(b); });
  std::atomic<std::size_t> next_column{0};
  std::atomic<bool> failed{false};
  std::exception_ptr fault;
  std::mutex fault_mutex;
  auto work = [&]() noexcept {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const std::size_t taken = next_column.fetch_add(1, std::memory_order_relaxed);
        if (taken >= column_count) return;
        if (!read_column(largest_first[taken])) failed.store(true, std::memory_order_relaxed);
      }
    } catch (...) {
      failed.store(true, std::memory_order_relaxed);
      const std::lock_guard<std::mutex> lock(fault_mutex);
      if (!fault) fault = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;
    const std::size_t helper_count = std::min<std::size_t>(threads, column_count) - 1;
    try {
      for (std::size_t index = 0; index < helper_count; ++index) helpers.emplace_back(work);
    } catch (const std::system_error&) {
      // Fewer threads than asked for: the ones running take every column.
    }
    work();
  }
  // Out of memory on a helper is out of memory for the call.
  if (fault) std::rethrow_exception(fault);
  return !failed.load();
}

}  // namespace vrex
