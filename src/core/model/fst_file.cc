#include "model/fst_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/utf8.h"

namespace vurel {
namespace {

constexpr std::int32_t kFstMagic = 0x7eb2fdd6;
constexpr std::int32_t kSymbolTableMagic = 0x7eb2fb74;
constexpr std::int32_t kFileVersion = 2;
constexpr std::int32_t kMaxFlags = 7;
constexpr std::int32_t kHasInputSymbols = 1;
constexpr std::int32_t kHasOutputSymbols = 2;
constexpr std::uint32_t kNonFinalBits = 0x7f800000;  // +infinity
constexpr std::uint64_t kWrittenPropertyBits = 3;
constexpr char kSymbolTableName[] = "vurel";

// Reservations made from counts in the file stay within 64 KiB of records.
constexpr std::int64_t kMaxStatesAhead = 2048;
constexpr std::int64_t kMaxArcsAhead = 4096;
constexpr std::int64_t kMaxSymbolsAhead = 1638;

constexpr std::size_t kArcRecordSize = 16;
constexpr std::size_t kMinStateRecordSize = 12;
constexpr std::size_t kMinSymbolRecordSize = 12;
constexpr std::size_t kWriteBufferSize = 8192;

const std::string kParsePrefix = "Parsing Error: ";

Error ParseError(std::string inner) {
  return InvalidInput(kParsePrefix + std::move(inner));
}

Error KindError(const char *kind) {
  return ParseError(std::string("Error while parsing binary VectorFst. Error kind ") + kind);
}

Error Eof() { return KindError("Eof"); }
Error Verify() { return KindError("Verify"); }
Error MapRes() { return KindError("MapRes"); }

Error NotUtf8(const std::string &field) {
  return ParseError(field + " is not valid UTF-8");
}

template <class T>
T LoadLittleEndian(const std::byte *bytes) {
  T value;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, bytes, sizeof value);
  } else {
    std::byte reversed[sizeof(T)];
    std::reverse_copy(bytes, bytes + sizeof(T), reversed);
    std::memcpy(&value, reversed, sizeof value);
  }
  return value;
}

template <class T>
void StoreLittleEndian(T value, std::byte *bytes) {
  std::memcpy(bytes, &value, sizeof value);
  if constexpr (std::endian::native != std::endian::little) {
    std::reverse(bytes, bytes + sizeof(T));
  }
}

// Decodes fixed-size fields and strings from a file held in memory; every
// read checks the bytes that remain first.
class Cursor {
 public:
  explicit Cursor(std::span<const std::byte> bytes)
      : position_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - position_); }

  template <class T>
  bool Read(T *value) {
    if (remaining() < sizeof(T)) return false;
    *value = LoadLittleEndian<T>(position_);
    position_ += sizeof(T);
    return true;
  }

  bool ReadString(std::string_view *text) {
    std::int32_t length;
    if (!Read(&length) || length < 0 || static_cast<std::size_t>(length) > remaining()) {
      return false;
    }
    *text = std::string_view(reinterpret_cast<const char *>(position_),
                             static_cast<std::size_t>(length));
    position_ += length;
    return true;
  }

  // The next `count` records of `size` bytes, after checking they are there.
  const std::byte *Take(std::size_t count, std::size_t size) {
    if (count > remaining() / size) return nullptr;
    const std::byte *records = position_;
    position_ += count * size;
    return records;
  }

 private:
  const std::byte *position_;
  const std::byte *end_;
};

// Parses a string and checks it is UTF-8; `field` names it in the message.
std::optional<Error> ReadText(Cursor &cursor, std::string_view *text,
                              const std::string &field) {
  if (!cursor.ReadString(text)) return Eof();
  if (!IsValidUtf8(*text)) return NotUtf8(field);
  return std::nullopt;
}

Result<std::unique_ptr<fst::SymbolTable>> ReadSymbolTable(Cursor &cursor,
                                                          const std::string &which) {
  std::int32_t magic;
  if (!cursor.Read(&magic)) return Eof();
  if (magic != kSymbolTableMagic) return Verify();
  std::string_view name;
  if (auto error = ReadText(cursor, &name, which + " symbol table name")) return *error;
  std::int64_t available_key;
  std::int64_t size;
  if (!cursor.Read(&available_key) || !cursor.Read(&size)) return Eof();
  if (size < 0 || static_cast<std::uint64_t>(size) > cursor.remaining() / kMinSymbolRecordSize) {
    return Eof();
  }

  struct Entry {
    std::string_view text;
    std::int64_t key;
  };
  std::vector<Entry> entries;
  entries.reserve(static_cast<std::size_t>(std::min(size, kMaxSymbolsAhead)));
  for (std::int64_t k = 0; k < size; ++k) {
    Entry entry;
    if (auto error = ReadText(cursor, &entry.text,
                              which + " symbol table entry " + std::to_string(k))) {
      return *error;
    }
    if (!cursor.Read(&entry.key)) return Eof();
    entries.push_back(entry);
  }

  auto table = std::make_unique<fst::SymbolTable>("");
  for (const Entry &entry : entries) {
    const std::int64_t label = table->AddSymbol(std::string(entry.text));
    if (label != entry.key) {
      return ParseError(
          "Error while parsing symbolTable from binary VectorFst : SymbolTable must contain "
          "increasing labels with no hole. Expected : " +
          std::to_string(static_cast<std::uint64_t>(label)) +
          " and Got : " + std::to_string(entry.key));
    }
  }
  return table;
}

// A file descriptor closed on destruction.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports the errno of a failed close, or 0.
  int Close() {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Reads everything `fd` yields until end of file; false on a read error.
bool ReadAll(int fd, std::unique_ptr<std::byte[]> *data, std::size_t *size) {
  struct stat status;
  std::size_t capacity = 1 << 16;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    // One byte more than the file's size, so that end of file is seen
    // without a second allocation.
    capacity = static_cast<std::size_t>(status.st_size) + 1;
  }
  // Uninitialised storage: every byte used is first read from the file.
  std::unique_ptr<std::byte[]> buffer(new std::byte[capacity]);
  std::size_t filled = 0;
  for (;;) {
    if (filled == capacity) {
      const std::size_t grown = capacity * 2;
      std::unique_ptr<std::byte[]> larger(new std::byte[grown]);
      std::memcpy(larger.get(), buffer.get(), filled);
      buffer = std::move(larger);
      capacity = grown;
    }
    const ssize_t count = ::read(fd, buffer.get() + filled, capacity - filled);
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (count == 0) break;
    filled += static_cast<std::size_t>(count);
  }
  *data = std::move(buffer);
  *size = filled;
  return true;
}

// Writes through a fixed buffer of kWriteBufferSize bytes. After the first
// failed write every further call does nothing and error() holds the errno.
class BufferedWriter {
 public:
  explicit BufferedWriter(int fd) : fd_(fd) {}

  template <class T>
  void Put(T value) {
    if (kWriteBufferSize - used_ < sizeof(T)) Flush();
    StoreLittleEndian(value, buffer_ + used_);
    used_ += sizeof(T);
  }

  void PutString(std::string_view text) {
    Put(static_cast<std::int32_t>(text.size()));
    PutBytes(reinterpret_cast<const std::byte *>(text.data()), text.size());
  }

  void PutBytes(const std::byte *bytes, std::size_t size) {
    while (size > 0) {
      if (used_ == kWriteBufferSize) Flush();
      const std::size_t chunk = std::min(size, kWriteBufferSize - used_);
      std::memcpy(buffer_ + used_, bytes, chunk);
      used_ += chunk;
      bytes += chunk;
      size -= chunk;
    }
  }

  void Flush() {
    std::size_t written = 0;
    while (error_ == 0 && written < used_) {
      const ssize_t count = ::write(fd_, buffer_ + written, used_ - written);
      if (count < 0) {
        if (errno != EINTR) error_ = errno;
        continue;
      }
      written += static_cast<std::size_t>(count);
    }
    used_ = 0;
  }

  int error() const { return error_; }

 private:
  int fd_;
  int error_ = 0;
  std::size_t used_ = 0;
  std::byte buffer_[kWriteBufferSize];
};

void WriteSymbolTable(BufferedWriter &writer, const fst::SymbolTable &table) {
  const auto size = static_cast<std::int64_t>(table.NumSymbols());
  writer.Put(kSymbolTableMagic);
  writer.PutString(kSymbolTableName);
  writer.Put(size);
  writer.Put(size);
  for (std::int64_t label = 0; label < size; ++label) {
    writer.PutString(table.Find(label));
    writer.Put(label);
  }
}

// The writer emits labels 0 to N-1 in order, which only describes a table
// whose labels are exactly those.
bool HasDenseLabels(const fst::SymbolTable *table) {
  if (table == nullptr) return true;
  const auto size = static_cast<std::int64_t>(table->NumSymbols());
  for (std::int64_t position = 0; position < size; ++position) {
    if (table->GetNthKey(position) != position) return false;
  }
  return true;
}

std::string SystemErrorText(int error) { return std::system_category().message(error); }

// The decoding of a whole file into a VectorFst or a FlatFst, which is
// filled state by state in order.
template <class Fst>
Result<Fst> ParseInto(std::span<const std::byte> bytes) {
  Cursor cursor(bytes);

  std::int32_t magic;
  if (!cursor.Read(&magic)) return Eof();
  if (magic != kFstMagic) return Verify();
  std::string_view fst_type;
  if (auto error = ReadText(cursor, &fst_type, "FST type")) return *error;
  if (fst_type != "vector") return Verify();
  std::string_view arc_type;
  if (auto error = ReadText(cursor, &arc_type, "arc type")) return *error;
  if (arc_type != "standard") return Verify();
  std::int32_t version;
  if (!cursor.Read(&version)) return Eof();
  if (version < kFileVersion) return Verify();
  std::int32_t flags;
  if (!cursor.Read(&flags)) return Eof();
  if (flags < 0 || flags > kMaxFlags) return MapRes();
  std::uint64_t properties;
  std::int64_t start;
  std::int64_t num_states;
  std::int64_t num_arcs_ignored;
  if (!cursor.Read(&properties) || !cursor.Read(&start) || !cursor.Read(&num_states) ||
      !cursor.Read(&num_arcs_ignored)) {
    return Eof();
  }

  std::unique_ptr<fst::SymbolTable> input_symbols;
  std::unique_ptr<fst::SymbolTable> output_symbols;
  if (flags & kHasInputSymbols) {
    auto table = ReadSymbolTable(cursor, "input");
    if (!table.ok()) return std::move(table).error();
    input_symbols = std::move(table).value();
  }
  if (flags & kHasOutputSymbols) {
    auto table = ReadSymbolTable(cursor, "output");
    if (!table.ok()) return std::move(table).error();
    output_symbols = std::move(table).value();
  }

  if (num_states < 0 ||
      static_cast<std::uint64_t>(num_states) > cursor.remaining() / kMinStateRecordSize) {
    return Eof();
  }
  const auto state_count = static_cast<std::uint64_t>(num_states);

  Fst fst;
  if constexpr (std::is_same_v<Fst, FlatFst>) {
    fst.ReserveTotalArcs(static_cast<std::size_t>(cursor.remaining() / kArcRecordSize));
  }
  // The first arc (in file order) that leads outside the FST, reported once
  // every record has been decoded.
  struct BadArc {
    std::uint64_t state = 0;
    std::uint64_t index = 0;
    std::uint32_t next_state = 0;
  };
  std::optional<BadArc> bad_arc;
  std::uint64_t states_added = 0;
  for (std::uint64_t state = 0; state < state_count; ++state) {
    if (state == states_added) {
      const auto chunk = std::min<std::uint64_t>(state_count - states_added, kMaxStatesAhead);
      fst.AddStates(chunk);
      states_added += chunk;
    }
    std::uint32_t final_bits;
    std::int64_t num_arcs;
    if (!cursor.Read(&final_bits) || !cursor.Read(&num_arcs) || num_arcs < 0) return Eof();
    const std::byte *arcs = cursor.Take(static_cast<std::uint64_t>(num_arcs), kArcRecordSize);
    if (arcs == nullptr) return Eof();
    const auto id = static_cast<Arc::StateId>(state);
    if (final_bits != kNonFinalBits) fst.SetFinal(id, Weight(std::bit_cast<float>(final_bits)));
    fst.ReserveArcs(id, static_cast<std::size_t>(std::min(num_arcs, kMaxArcsAhead)));
    for (std::int64_t index = 0; index < num_arcs; ++index) {
      const std::byte *record = arcs + index * kArcRecordSize;
      const auto next_state = LoadLittleEndian<std::uint32_t>(record + 12);
      if (next_state >= state_count && !bad_arc) {
        bad_arc = BadArc{state, static_cast<std::uint64_t>(index), next_state};
      }
      fst.AddArc(id, Arc(LoadLittleEndian<Arc::Label>(record),
                         LoadLittleEndian<Arc::Label>(record + 4),
                         Weight(LoadLittleEndian<float>(record + 8)),
                         static_cast<Arc::StateId>(next_state)));
    }
  }

  if (start != -1 && (start < 0 || static_cast<std::uint64_t>(start) >= state_count)) {
    return ParseError("start state " + std::to_string(start) + " is not a state; there are only " +
                      std::to_string(state_count) + " states");
  }
  if (bad_arc) {
    return ParseError("arc " + std::to_string(bad_arc->index) + " of state " +
                      std::to_string(bad_arc->state) + " leads to state " +
                      std::to_string(bad_arc->next_state) + ", but there are only " +
                      std::to_string(state_count) + " states");
  }

  if (start != -1) fst.SetStart(static_cast<Arc::StateId>(start));
  if (input_symbols) fst.SetInputSymbols(input_symbols.get());
  if (output_symbols) fst.SetOutputSymbols(output_symbols.get());
  // Adding states and arcs above changed the known properties; the file's
  // own are the ones the FST is read with.
  fst.SetProperties(properties & fst::kTrinaryProperties, fst::kTrinaryProperties);
  return fst;
}

template <class Fst>
Result<Fst> ReadInto(const std::string &path) {
  const auto open_error = [&] {
    return InvalidInput("Can't open vectorFst binary file : " + QuotePath(path));
  };
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return open_error();
  std::unique_ptr<std::byte[]> data;
  std::size_t size = 0;
  if (!ReadAll(file.get(), &data, &size)) return open_error();
  file.Close();
  return ParseInto<Fst>(std::span<const std::byte>(data.get(), size));
}

}  // namespace

std::string QuotePath(std::string_view path) {
  static constexpr char kHex[] = "0123456789abcdef";
  static constexpr char kUpperHex[] = "0123456789ABCDEF";
  std::string quoted = "\"";
  std::size_t pos = 0;
  while (pos < path.size()) {
    const auto byte = static_cast<unsigned char>(path[pos]);
    const std::size_t length = Utf8SequenceLength(path, pos);
    if (length == 0) {
      quoted += "\\x";
      quoted += kUpperHex[byte >> 4];
      quoted += kUpperHex[byte & 0xf];
      ++pos;
      continue;
    }
    // C1 controls (U+0080 to U+009F) are encoded as 0xC2 0x80 to 0xC2 0x9F.
    const bool c1_control =
        length == 2 && byte == 0xc2 && static_cast<unsigned char>(path[pos + 1]) <= 0x9f;
    if (c1_control) {
      const auto code = static_cast<unsigned char>(path[pos + 1]);
      quoted += "\\u{";
      quoted += kHex[code >> 4];
      quoted += kHex[code & 0xf];
      quoted += '}';
    } else if (length > 1) {
      quoted.append(path.substr(pos, length));
    } else if (byte == '"' || byte == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(byte);
    } else if (byte == '\t') {
      quoted += "\\t";
    } else if (byte == '\n') {
      quoted += "\\n";
    } else if (byte == '\r') {
      quoted += "\\r";
    } else if (byte == '\0') {
      quoted += "\\0";
    } else if (byte < 0x20 || byte == 0x7f) {
      quoted += "\\u{";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 0xf];
      quoted += '}';
    } else {
      quoted += static_cast<char>(byte);
    }
    pos += length;
  }
  quoted += '"';
  return quoted;
}

Result<VectorFst> ReadFstFile(const std::string &path) { return ReadInto<VectorFst>(path); }

Result<FlatFst> ReadFlatFstFile(const std::string &path) { return ReadInto<FlatFst>(path); }

Result<VectorFst> ParseFst(std::span<const std::byte> bytes) {
  return ParseInto<VectorFst>(bytes);
}

Status WriteFstFile(const VectorFst &fst, const std::string &path) {
  const fst::SymbolTable *input_symbols = fst.InputSymbols();
  const fst::SymbolTable *output_symbols = fst.OutputSymbols();
  if (!HasDenseLabels(input_symbols) || !HasDenseLabels(output_symbols)) {
    return InternalError("cannot write a symbol table whose labels are not 0 to N-1");
  }

  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file.valid()) {
    return InvalidInput("Cannot create vectorFst binary file : " + QuotePath(path));
  }

  const auto num_states = static_cast<std::int64_t>(fst.NumStates());
  std::int64_t num_arcs = 0;
  for (Arc::StateId state = 0; state < num_states; ++state) {
    num_arcs += static_cast<std::int64_t>(fst.NumArcs(state));
  }

  std::int32_t flags = 0;
  if (input_symbols != nullptr) flags |= kHasInputSymbols;
  if (output_symbols != nullptr) flags |= kHasOutputSymbols;

  auto writer = std::make_unique<BufferedWriter>(file.get());
  writer->Put(kFstMagic);
  writer->PutString("vector");
  writer->PutString("standard");
  writer->Put(kFileVersion);
  writer->Put(flags);
  writer->Put(fst.Properties(fst::kTrinaryProperties, false) | kWrittenPropertyBits);
  writer->Put(static_cast<std::int64_t>(fst.Start()));
  writer->Put(num_states);
  writer->Put(num_arcs);
  if (input_symbols != nullptr) WriteSymbolTable(*writer, *input_symbols);
  if (output_symbols != nullptr) WriteSymbolTable(*writer, *output_symbols);

  const float non_final = std::bit_cast<float>(kNonFinalBits);
  for (Arc::StateId state = 0; state < num_states && writer->error() == 0; ++state) {
    const Weight final_weight = fst.Final(state);
    writer->Put(final_weight == Weight::Zero() ? non_final : final_weight.Value());
    writer->Put(static_cast<std::int64_t>(fst.NumArcs(state)));
    for (fst::ArcIterator<VectorFst> arcs(fst, state); !arcs.Done(); arcs.Next()) {
      const Arc &arc = arcs.Value();
      writer->Put(arc.ilabel);
      writer->Put(arc.olabel);
      writer->Put(arc.weight.Value());
      writer->Put(arc.nextstate);
    }
  }
  writer->Flush();
  if (writer->error() != 0) return InvalidInput(SystemErrorText(writer->error()));
  if (const int error = file.Close(); error != 0) return InvalidInput(SystemErrorText(error));
  return Status();
}

}  // namespace vurel
