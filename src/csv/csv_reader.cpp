#include "csv/csv_reader.h"

#include "csv/utf8.h"

namespace vrex::ext {

namespace {

constexpr std::uint8_t kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

#ifdef VREX_FORCE_SCALAR
constexpr CsvScan kDefaultScan = CsvScan::Reference;
#else
constexpr CsvScan kDefaultScan = CsvScan::Best;
#endif

}  // namespace

std::size_t CsvReader::header_begin(std::span<const std::uint8_t> input) noexcept {
  const bool marked = input.size() >= 3 && input[0] == kByteOrderMark[0] &&
                      input[1] == kByteOrderMark[1] && input[2] == kByteOrderMark[2];
  return marked ? sizeof kByteOrderMark : 0;
}

CsvReader::CsvReader(std::span<const std::uint8_t> input) : CsvReader(input, kDefaultScan) {}

CsvReader::CsvReader(std::span<const std::uint8_t> input, CsvScan scan)
    : input_(input),
      use_reference_(scan == CsvScan::Reference),
      fast_(input, select_classifier(scan)),
      reference_(input) {
  // The plain splitter reports every record as possibly non-ASCII, so its
  // dropped fields are checked on the way out rather than split again.
  fields_.set_check_dropped(use_reference_);
}

Status<CsvError> CsvReader::read_header() {
  if (header_read_) return Status<CsvError>::ok();
  header_read_ = true;
  // The header's position is taken before the byte-order mark is skipped.
  const CsvPosition position{0, 1, 0};
  cursor_ = header_begin(input_);
  fields_.clear();
  if (read_next(position, fields_) == Read::Failed) return Unexpected{failure_};
  return Status<CsvError>::ok();
}

Result<bool, CsvError> CsvReader::read_record() {
  if (!header_read_) VREX_TRY(read_header());
  fields_.clear();
  const Read read = read_next(CsvPosition{cursor_, 0, records_}, fields_);
  if (read == Read::Failed) return Unexpected{failure_};
  return read == Read::Record;
}

Result<bool, CsvError> CsvReader::read_record(FieldList& into) {
  const Read read = read_record_into(into);
  if (read == Read::Failed) return Unexpected{failure_};
  return read == Read::Record;
}

CsvReader::Read CsvReader::read_record_into(FieldList& into) {
  if (!header_read_ && !read_header()) return Read::Failed;
  into.start_record();
  into.set_check_dropped(use_reference_);
  const Read read = read_next(CsvPosition{cursor_, 0, records_}, into);
  if (read != Read::Record) into.drop_record();
  return read;
}

std::span<const std::string_view> CsvReader::fields() const noexcept { return fields_.views(); }

CsvReader::Read CsvReader::fail_at(CsvPosition position, std::uint64_t field,
                                   std::uint64_t valid_length) noexcept {
  failure_ = located(position, field, valid_length);
  return Read::Failed;
}

CsvReader::Read CsvReader::read_next(CsvPosition position, FieldList& record) {
  if (at_end_) return Read::End;
  const SplitOutcome outcome =
      use_reference_ ? reference_.split(cursor_, record) : fast_.split(cursor_, record);
  cursor_ = outcome.next;
  if (!outcome.found) {
    at_end_ = true;
    return Read::End;
  }
  ++records_;
  record.finish();
  if (!outcome.non_ascii) return Read::Record;

  if (!use_reference_) {
    const auto* record_bytes = reinterpret_cast<const char*>(input_.data() + outcome.begin);
    const std::string_view bytes(record_bytes, outcome.end - outcome.begin);
    if (utf8_is_valid(bytes)) return Read::Record;
  }
  const std::span<const std::string_view> fields = record.views();
  for (std::size_t index = 0; index < fields.size(); ++index) {
    const std::size_t valid = use_reference_ ? utf8_valid_prefix_reference(fields[index])
                                             : utf8_valid_prefix(fields[index]);
    if (valid == fields[index].size()) continue;
    return fail_at(position, index, valid);
  }
  if (record.dropped() == 0) return Read::Record;
  const std::optional<InvalidField> invalid =
      use_reference_ ? record.first_invalid_dropped()
                     : find_invalid_dropped(position.byte, record.kept_limit());
  if (invalid) return fail_at(position, invalid->index, invalid->valid_length);
  return Read::Record;
}

CsvReader CsvReader::for_part(std::span<const std::uint8_t> part, CsvPosition origin) {
  CsvReader reader(part);
  reader.header_read_ = true;  // the header is before every part
  reader.records_ = origin.record;
  reader.origin_ = origin;
  return reader;
}

CsvError CsvReader::located(CsvPosition position, std::uint64_t field,
                            std::uint64_t valid_length) noexcept {
  position.line = origin_.line + line_feeds_before(position.byte);
  position.byte += origin_.byte;
  return CsvError{position, field, valid_length};
}

std::optional<InvalidField> CsvReader::find_invalid_dropped(std::size_t cursor,
                                                            std::size_t kept_limit) const {
  // Rare: only for a record that failed the UTF-8 check with no kept field to
  // blame. The record is split once more, by the plain splitter, with the
  // dropped fields checked on their way out. That splitter starts at the
  // record: one given the whole input would first count the line feeds
  // before it, which made a reader that goes on past many such records
  // quadratic.
  FieldList checked;
  checked.set_kept_limit(kept_limit);
  checked.set_check_dropped(true);
  ReferenceSplitter splitter(input_.subspan(cursor));
  splitter.split(0, checked);
  return checked.first_invalid_dropped();
}

std::uint64_t CsvReader::line_feeds_before(std::size_t offset) noexcept {
  return use_reference_ ? reference_.line_feeds_before(offset) : fast_.line_feeds_before(offset);
}

}  // namespace vrex::ext
