#include "model/fst_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vurel {
namespace {

constexpr std::int32_t kFstMagic = 0x7eb2fdd6;
constexpr std::int32_t kTableMagic = 0x7eb2fb74;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

const std::string kEof = "Parsing Error: Error while parsing binary VectorFst. Error kind Eof";
const std::string kVerify = "Parsing Error: Error while parsing binary VectorFst. Error kind Verify";
const std::string kMapRes = "Parsing Error: Error while parsing binary VectorFst. Error kind MapRes";

std::string SymbolMessage(const std::string &expected, const std::string &got) {
  return "Parsing Error: Error while parsing symbolTable from binary VectorFst : SymbolTable must "
         "contain increasing labels with no hole. Expected : " +
         expected + " and Got : " + got;
}

// Little-endian file contents, field by field.
class Bytes {
 public:
  template <class T>
  Bytes &Put(T value) {
    const auto *raw = reinterpret_cast<const std::byte *>(&value);
    data_.insert(data_.end(), raw, raw + sizeof value);
    return *this;
  }
  Bytes &I32(std::int32_t value) { return Put(value); }
  Bytes &I64(std::int64_t value) { return Put(value); }
  Bytes &F32(float value) { return Put(value); }
  Bytes &Raw(std::string_view text) {
    const auto *raw = reinterpret_cast<const std::byte *>(text.data());
    data_.insert(data_.end(), raw, raw + text.size());
    return *this;
  }
  Bytes &Str(std::string_view text) {
    I32(static_cast<std::int32_t>(text.size()));
    return Raw(text);
  }

  struct Header {
    std::string fst_type = "vector";
    std::string arc_type = "standard";
    std::int32_t version = 2;
    std::int32_t flags = 0;
    std::uint64_t properties = 0;
    std::int64_t start = 0;
    std::int64_t num_states = 1;
    std::int64_t num_arcs = 0;
  };
  Bytes &Head(const Header &header) {
    I32(kFstMagic).Str(header.fst_type).Str(header.arc_type).I32(header.version);
    I32(header.flags).Put(header.properties).I64(header.start);
    return I64(header.num_states).I64(header.num_arcs);
  }

  Bytes &Table(const std::vector<std::pair<std::string, std::int64_t>> &entries,
               std::string_view name = "table") {
    I32(kTableMagic).Str(name).I64(static_cast<std::int64_t>(entries.size()));
    I64(static_cast<std::int64_t>(entries.size()));
    for (const auto &[text, key] : entries) Str(text).I64(key);
    return *this;
  }

  struct ArcRecord {
    std::int32_t ilabel, olabel;
    float weight;
    std::int32_t next_state;
  };
  Bytes &State(float final_weight, const std::vector<ArcRecord> &arcs = {}) {
    F32(final_weight).I64(static_cast<std::int64_t>(arcs.size()));
    for (const ArcRecord &arc : arcs) {
      I32(arc.ilabel).I32(arc.olabel).F32(arc.weight).I32(arc.next_state);
    }
    return *this;
  }

  const std::vector<std::byte> &data() const { return data_; }
  std::span<const std::byte> Prefix(std::size_t size) const { return {data_.data(), size}; }

 private:
  std::vector<std::byte> data_;
};

Result<VectorFst> Parse(const Bytes &bytes) { return ParseFst(bytes.data()); }

std::string ParseErrorOf(const Bytes &bytes) {
  auto result = Parse(bytes);
  if (result.ok()) return "(accepted)";
  EXPECT_EQ(result.error().code, ErrorCode::kInvalidInput);
  return result.error().message;
}

Bytes OneStateFile(Bytes::Header header) {
  Bytes bytes;
  bytes.Head(header).State(kInfinity);
  return bytes;
}

// Two tables and three states with arcs: every kind of record.
Bytes FullFile() {
  Bytes bytes;
  bytes.Head({.flags = 3, .start = 0, .num_states = 3, .num_arcs = 3});
  bytes.Table({{"<eps>", 0}, {"a", 1}, {"b", 2}});
  bytes.Table({{"<eps>", 0}, {"x", 1}});
  bytes.State(kInfinity, {{1, 1, 0.5f, 1}, {2, 0, 1.5f, 2}});
  bytes.State(kInfinity, {{0, 1, 0.25f, 2}});
  bytes.State(0.0f);
  return bytes;
}

std::vector<std::string> Texts(const fst::SymbolTable *table) {
  std::vector<std::string> texts;
  for (std::int64_t label = 0; label < static_cast<std::int64_t>(table->NumSymbols()); ++label) {
    texts.push_back(table->Find(label));
  }
  return texts;
}

TEST(ParseFstHeader, RejectsEachMalformedFieldWithItsKind) {
  EXPECT_EQ(ParseErrorOf(Bytes()), kEof);
  EXPECT_EQ(ParseErrorOf(Bytes().Raw("\xd6\xfd\xb2")), kEof);
  EXPECT_EQ(ParseErrorOf(Bytes().I32(kFstMagic + 1)), kVerify);
  EXPECT_EQ(ParseErrorOf(Bytes().I32(kFstMagic)), kEof);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.fst_type = "const"})), kVerify);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.fst_type = "vectorx"})), kVerify);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.fst_type = ""})), kVerify);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.arc_type = "log"})), kVerify);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.version = 1})), kVerify);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.version = -3})), kVerify);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.flags = 8})), kMapRes);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.flags = -1})), kMapRes);
  // A string count that is negative or runs past the end.
  EXPECT_EQ(ParseErrorOf(Bytes().I32(kFstMagic).I32(-1).Raw("vector")), kEof);
  EXPECT_EQ(ParseErrorOf(Bytes().I32(kFstMagic).I32(7).Raw("vector")), kEof);
  // The header's checks run in field order: a bad magic wins over a bad type.
  EXPECT_EQ(ParseErrorOf(Bytes().I32(1).Str("const")), kVerify);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.fst_type = "const", .flags = 8})), kVerify);
  EXPECT_EQ(ParseErrorOf(OneStateFile({.version = 1, .flags = 8})), kVerify);
}

TEST(ParseFstHeader, AcceptsLaterVersionsAndFlagsFour) {
  for (std::int32_t version : {2, 3, 1000}) {
    EXPECT_TRUE(Parse(OneStateFile({.version = version})).ok()) << version;
  }
  // Flag bit 2 announces nothing: the state record follows the header.
  auto fst = Parse(Bytes().Head({.flags = 4}).State(2.5f));
  ASSERT_TRUE(fst.ok()) << fst.error().message;
  EXPECT_EQ(fst->NumStates(), 1);
  EXPECT_EQ(fst->Final(0), Weight(2.5f));
  EXPECT_EQ(fst->InputSymbols(), nullptr);
  EXPECT_EQ(fst->OutputSymbols(), nullptr);
}

TEST(ParseFstHeader, StartStateAndEmptyFst) {
  auto no_start = Parse(Bytes().Head({.start = -1, .num_states = 2}).State(kInfinity).State(0));
  ASSERT_TRUE(no_start.ok());
  EXPECT_EQ(no_start->Start(), fst::kNoStateId);
  EXPECT_EQ(no_start->NumStates(), 2);

  auto empty = Parse(Bytes().Head({.start = -1, .num_states = 0}));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->NumStates(), 0);
  EXPECT_EQ(empty->Start(), fst::kNoStateId);

  auto started = Parse(Bytes().Head({.start = 1, .num_states = 2}).State(kInfinity).State(0));
  ASSERT_TRUE(started.ok());
  EXPECT_EQ(started->Start(), 1);
}

TEST(ParseFstHeader, KeepsOnlyNamedPropertyBits) {
  auto fst = Parse(OneStateFile({.properties = ~std::uint64_t{0}}));
  ASSERT_TRUE(fst.ok());
  EXPECT_EQ(fst->Properties(fst::kTrinaryProperties, false), fst::kTrinaryProperties);
  EXPECT_FALSE(fst->Properties(fst::kError, false));
  // Bits the file does not set stay unknown, even those building would set.
  const std::uint64_t from_file = fst::kAcceptor | fst::kILabelSorted | fst::kCyclic;
  auto partial = Parse(OneStateFile({.properties = from_file | 0xffff}));
  ASSERT_TRUE(partial.ok());
  EXPECT_EQ(partial->Properties(fst::kTrinaryProperties, false), from_file);
}

TEST(ParseFstStates, FinalWeights) {
  Bytes bytes;
  bytes.Head({.num_states = 5});
  bytes.State(kInfinity).State(0.0f).State(std::nanf("")).State(-kInfinity).State(-1.25f);
  auto fst = Parse(bytes);
  ASSERT_TRUE(fst.ok());
  EXPECT_EQ(fst->Final(0), Weight::Zero());
  EXPECT_EQ(fst->Final(1), Weight(0.0f));
  EXPECT_TRUE(std::isnan(fst->Final(2).Value()));
  EXPECT_EQ(fst->Final(3).Value(), -kInfinity);
  EXPECT_EQ(fst->Final(4), Weight(-1.25f));
}

TEST(ParseFstStates, KeepsArcsInFileOrder) {
  auto fst = Parse(FullFile());
  ASSERT_TRUE(fst.ok()) << fst.error().message;
  ASSERT_EQ(fst->NumStates(), 3);
  EXPECT_EQ(fst->Start(), 0);
  ASSERT_EQ(fst->NumArcs(0), 2);
  fst::ArcIterator<VectorFst> arcs(*fst, 0);
  EXPECT_EQ(arcs.Value().ilabel, 1);
  EXPECT_EQ(arcs.Value().olabel, 1);
  EXPECT_EQ(arcs.Value().weight, Weight(0.5f));
  EXPECT_EQ(arcs.Value().nextstate, 1);
  arcs.Next();
  EXPECT_EQ(arcs.Value().ilabel, 2);
  EXPECT_EQ(arcs.Value().olabel, 0);
  EXPECT_EQ(arcs.Value().weight, Weight(1.5f));
  EXPECT_EQ(arcs.Value().nextstate, 2);
  EXPECT_EQ(fst->NumArcs(1), 1);
  EXPECT_EQ(fst->NumArcs(2), 0);
  EXPECT_EQ(fst->Final(2), Weight::One());
  EXPECT_EQ(fst->NumInputEpsilons(1), 1);
  EXPECT_EQ(fst->NumOutputEpsilons(0), 1);
}

TEST(ParseFstStates, IgnoresArcCountAndTrailingBytes) {
  Bytes bytes;
  bytes.Head({.num_states = 1, .num_arcs = 99}).State(0, {{1, 2, 0, 0}}).Raw("trailing garbage");
  auto fst = Parse(bytes);
  ASSERT_TRUE(fst.ok());
  EXPECT_EQ(fst->NumArcs(0), 1);
}

TEST(ParseFstStates, RejectsArcsAndStartOutsideTheFst) {
  Bytes bad_arc;
  bad_arc.Head({.num_states = 2}).State(kInfinity, {{1, 1, 0, 1}, {1, 1, 0, 0}});
  bad_arc.State(kInfinity, {{1, 1, 0, 0}, {1, 1, 0, 2}, {1, 1, 0, 7}});
  EXPECT_EQ(ParseErrorOf(bad_arc),
            "Parsing Error: arc 1 of state 1 leads to state 2, but there are only 2 states");

  Bytes negative_next;
  negative_next.Head({.num_states = 1}).State(kInfinity, {{1, 1, 0, -1}});
  EXPECT_EQ(ParseErrorOf(negative_next),
            "Parsing Error: arc 0 of state 0 leads to state 4294967295, but there are only 1 "
            "states");

  EXPECT_EQ(ParseErrorOf(OneStateFile({.start = 1})),
            "Parsing Error: start state 1 is not a state; there are only 1 states");
  EXPECT_EQ(ParseErrorOf(OneStateFile({.start = -2})),
            "Parsing Error: start state -2 is not a state; there are only 1 states");
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.start = 0, .num_states = 0})),
            "Parsing Error: start state 0 is not a state; there are only 0 states");

  // A truncated file is reported as such even when an earlier arc is bad.
  Bytes truncated;
  truncated.Head({.num_states = 2}).State(kInfinity, {{1, 1, 0, 5}});
  EXPECT_EQ(ParseErrorOf(truncated), kEof);
}

TEST(ParseFstSymbols, ReadsTablesAnnouncedByTheFlags) {
  auto both = Parse(FullFile());
  ASSERT_TRUE(both.ok());
  ASSERT_NE(both->InputSymbols(), nullptr);
  ASSERT_NE(both->OutputSymbols(), nullptr);
  EXPECT_EQ(Texts(both->InputSymbols()), (std::vector<std::string>{"<eps>", "a", "b"}));
  EXPECT_EQ(Texts(both->OutputSymbols()), (std::vector<std::string>{"<eps>", "x"}));
  EXPECT_EQ(both->InputSymbols()->Find("b"), 2);

  auto output_only = Parse(Bytes().Head({.flags = 2}).Table({{"p", 0}}).State(0));
  ASSERT_TRUE(output_only.ok());
  EXPECT_EQ(output_only->InputSymbols(), nullptr);
  EXPECT_EQ(Texts(output_only->OutputSymbols()), std::vector<std::string>{"p"});

  // Entry 0 need not be an epsilon name; a table may be empty.
  auto input_only = Parse(Bytes().Head({.flags = 1}).Table({{"zero", 0}}).State(0));
  ASSERT_TRUE(input_only.ok());
  EXPECT_EQ(Texts(input_only->InputSymbols()), std::vector<std::string>{"zero"});
  EXPECT_EQ(input_only->OutputSymbols(), nullptr);

  auto empty = Parse(Bytes().Head({.flags = 3}).Table({}).Table({}).State(0));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->InputSymbols()->NumSymbols(), 0);
  EXPECT_EQ(empty->OutputSymbols()->NumSymbols(), 0);
}

TEST(ParseFstSymbols, RejectsKeysThatDifferFromLabels) {
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.flags = 1}).Table({{"a", 0}, {"b", 1}, {"c", 3}})),
            SymbolMessage("2", "3"));
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.flags = 1}).Table(
                {{"a", 0}, {"b", 1}, {"c", 2}, {"d", 3}, {"e", 4}, {"c", 5}})),
            SymbolMessage("2", "5"));
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.flags = 1}).Table({{"a", 1}})), SymbolMessage("0", "1"));
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.flags = 1}).Table({{"a", -1}})),
            SymbolMessage("0", "-1"));
  // The output table is checked as well, after a good input table.
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.flags = 3}).Table({{"a", 0}}).Table({{"a", 0}, {"a", 1}})),
            SymbolMessage("0", "1"));
}

TEST(ParseFstSymbols, RejectsMalformedTables) {
  Bytes wrong_magic;
  wrong_magic.Head({.flags = 1}).I32(kTableMagic + 1).Str("t").I64(0).I64(0).State(0);
  EXPECT_EQ(ParseErrorOf(wrong_magic), kVerify);

  Bytes negative_size;
  negative_size.Head({.flags = 1}).I32(kTableMagic).Str("t").I64(0).I64(-1).State(0);
  EXPECT_EQ(ParseErrorOf(negative_size), kEof);

  Bytes missing_entry;
  missing_entry.Head({.flags = 1}).I32(kTableMagic).Str("t").I64(2).I64(2).Str("a").I64(0);
  EXPECT_EQ(ParseErrorOf(missing_entry), kEof);

  // The output table is missing entirely.
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.flags = 3}).Table({{"a", 0}})), kEof);
}

// Each text is put into an input symbol table as entry 1.
std::string ParseWithSymbol(std::string_view text) {
  Bytes bytes;
  bytes.Head({.flags = 1}).Table({{"<eps>", 0}, {std::string(text), 1}}).State(0);
  return ParseErrorOf(bytes);
}

TEST(ParseFstUtf8, AcceptsWellFormedText) {
  for (std::string_view text : {"a", "\xc3\xa9", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                                "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "x\xe2\x82\xacy", ""}) {
    EXPECT_EQ(ParseWithSymbol(text), "(accepted)") << text;
  }
  EXPECT_EQ(ParseWithSymbol(std::string_view("\0", 1)), "(accepted)");
}

TEST(ParseFstUtf8, RejectsMalformedTextNamingTheField) {
  const std::string entry = "Parsing Error: input symbol table entry 1 is not valid UTF-8";
  for (std::string_view text : {
           "\x80",              // continuation byte without a lead
           "\xc0\x80",          // overlong NUL
           "\xc1\xbf",          // overlong two-byte
           "\xe0\x9f\xbf",      // overlong three-byte
           "\xf0\x8f\xbf\xbf",  // overlong four-byte
           "\xed\xa0\x80",      // high surrogate
           "\xed\xbf\xbf",      // low surrogate
           "\xf4\x90\x80\x80",  // above U+10FFFF
           "\xf5\x80\x80\x80",  // lead byte that can never occur
           "\xff",
           "\xe2\x82",          // truncated at the end
           "\xe2\x28\xa1",      // bad continuation
           "ok\xc3",
       }) {
    EXPECT_EQ(ParseWithSymbol(text), entry) << testing::PrintToString(text);
  }

  Bytes output_entry;
  output_entry.Head({.flags = 2}).Table({{"a", 0}, {"b", 1}, {"c\xff", 2}}).State(0);
  EXPECT_EQ(ParseErrorOf(output_entry),
            "Parsing Error: output symbol table entry 2 is not valid UTF-8");
  Bytes table_name;
  table_name.Head({.flags = 1}).Table({{"a", 0}}, "n\xff").State(0);
  EXPECT_EQ(ParseErrorOf(table_name), "Parsing Error: input symbol table name is not valid UTF-8");
  // Checked before the comparison with the expected name.
  EXPECT_EQ(ParseErrorOf(OneStateFile({.fst_type = "vect\xc0\x80r"})),
            "Parsing Error: FST type is not valid UTF-8");
  EXPECT_EQ(ParseErrorOf(OneStateFile({.arc_type = "\xed\xa0\x80"})),
            "Parsing Error: arc type is not valid UTF-8");
  // Every entry is decoded before any is added, so a bad text after a key
  // mismatch is what gets reported.
  Bytes later_text;
  later_text.Head({.flags = 1}).Table({{"a", 5}, {"\xff", 1}}).State(0);
  EXPECT_EQ(ParseErrorOf(later_text), entry);
}

TEST(ParseFstHostile, EveryTruncationFailsWithEof) {
  const Bytes full = FullFile();
  ASSERT_TRUE(Parse(full).ok());
  for (std::size_t size = 0; size < full.data().size(); ++size) {
    auto result = ParseFst(full.Prefix(size));
    ASSERT_FALSE(result.ok()) << "prefix of " << size << " bytes";
    EXPECT_EQ(result.error().message, kEof) << "prefix of " << size << " bytes";
  }
}

TEST(ParseFstHostile, LyingCountsFailQuickly) {
  const auto started = std::chrono::steady_clock::now();
  constexpr std::int64_t kHuge = std::int64_t{1} << 60;
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.num_states = kHuge}).State(0)), kEof);
  EXPECT_EQ(ParseErrorOf(Bytes().Head({.num_states = -1}).State(0)), kEof);
  EXPECT_EQ(ParseErrorOf(Bytes().Head({}).F32(0).I64(kHuge).Raw(std::string(64, 'x'))), kEof);
  EXPECT_EQ(ParseErrorOf(Bytes().Head({}).F32(0).I64(-1)), kEof);
  Bytes huge_table;
  huge_table.Head({.flags = 1}).I32(kTableMagic).Str("t").I64(kHuge).I64(kHuge).Str("a").I64(0);
  EXPECT_EQ(ParseErrorOf(huge_table), kEof);
  EXPECT_EQ(ParseErrorOf(Bytes().I32(kFstMagic).I32(std::numeric_limits<std::int32_t>::max())),
            kEof);
  // Many states claimed, a few thousand present: fails once the bytes run out.
  Bytes many;
  many.Head({.num_states = 1'000'000});
  for (int state = 0; state < 5000; ++state) many.State(0);
  EXPECT_EQ(ParseErrorOf(many), kEof);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(QuotePath, EscapesQuotesBackslashesControlsAndBadBytes) {
  EXPECT_EQ(QuotePath("model.fst"), "\"model.fst\"");
  EXPECT_EQ(QuotePath(""), "\"\"");
  EXPECT_EQ(QuotePath("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(QuotePath("t\tn\nr\r"), "\"t\\tn\\nr\\r\"");
  EXPECT_EQ(QuotePath(std::string_view("z\0", 2)), "\"z\\0\"");
  EXPECT_EQ(QuotePath("\x01\x1f\x7f"), "\"\\u{01}\\u{1f}\\u{7f}\"");
  EXPECT_EQ(QuotePath("\xc2\x85"), "\"\\u{85}\"");
  EXPECT_EQ(QuotePath("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
  EXPECT_EQ(QuotePath("a\xffz\xc3"), "\"a\\xFFz\\xC3\"");
  EXPECT_EQ(QuotePath("\xed\xa0\x80"), "\"\\xED\\xA0\\x80\"");
  EXPECT_EQ(QuotePath("it's"), "\"it's\"");
}

class FstFileTest : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::path(VUREL_TEST_TMPDIR) / "fst_file_test";
    std::filesystem::create_directories(directory_);
  }
  std::string PathOf(const std::string &name) const { return (directory_ / name).string(); }

  static std::vector<std::byte> Contents(const std::string &path) {
    std::ifstream stream(path, std::ios::binary);
    std::vector<char> chars((std::istreambuf_iterator<char>(stream)),
                            std::istreambuf_iterator<char>());
    std::vector<std::byte> bytes(chars.size());
    std::memcpy(bytes.data(), chars.data(), chars.size());
    return bytes;
  }

  static void WriteContents(const std::string &path, const Bytes &bytes) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char *>(bytes.data().data()),
                 static_cast<std::streamsize>(bytes.data().size()));
  }

  std::filesystem::path directory_;
};

VectorFst SampleFst(bool with_tables) {
  VectorFst fst;
  fst.AddStates(4);
  fst.SetStart(2);
  fst.AddArc(2, Arc(1, 2, 0.5f, 0));
  fst.AddArc(2, Arc(0, 1, -1.0f, 3));
  fst.AddArc(2, Arc(2, 0, 3.0f, 2));
  fst.AddArc(0, Arc(2, 2, 0.0f, 1));
  fst.SetFinal(1, 0.0f);
  fst.SetFinal(3, std::nanf(""));
  if (with_tables) {
    fst::SymbolTable input("ignored name");
    for (const char *text : {"<eps>", "a", "b|c"}) input.AddSymbol(text);
    fst::SymbolTable output;
    for (const char *text : {"-", "\xc9\x99", "k|s"}) output.AddSymbol(text);
    fst.SetInputSymbols(&input);
    fst.SetOutputSymbols(&output);
  }
  return fst;
}

void ExpectSameFst(const VectorFst &read, const VectorFst &written) {
  ASSERT_EQ(read.NumStates(), written.NumStates());
  EXPECT_EQ(read.Start(), written.Start());
  for (Arc::StateId state = 0; state < written.NumStates(); ++state) {
    const float want = written.Final(state).Value();
    if (std::isnan(want)) {
      EXPECT_TRUE(std::isnan(read.Final(state).Value())) << state;
    } else {
      EXPECT_EQ(read.Final(state).Value(), want) << state;
    }
    ASSERT_EQ(read.NumArcs(state), written.NumArcs(state)) << state;
    fst::ArcIterator<VectorFst> got(read, state);
    for (fst::ArcIterator<VectorFst> want_arc(written, state); !want_arc.Done();
         want_arc.Next(), got.Next()) {
      EXPECT_EQ(got.Value().ilabel, want_arc.Value().ilabel);
      EXPECT_EQ(got.Value().olabel, want_arc.Value().olabel);
      EXPECT_EQ(got.Value().weight, want_arc.Value().weight);
      EXPECT_EQ(got.Value().nextstate, want_arc.Value().nextstate);
    }
  }
}

TEST_F(FstFileTest, RoundTripKeepsEverything) {
  for (bool with_tables : {false, true}) {
    const VectorFst written = SampleFst(with_tables);
    const std::string path = PathOf("round_trip.fst");
    ASSERT_TRUE(WriteFstFile(written, path).ok());
    auto read = ReadFstFile(path);
    ASSERT_TRUE(read.ok()) << read.error().message;
    ExpectSameFst(*read, written);
    EXPECT_EQ(read->Properties(fst::kTrinaryProperties, false),
              written.Properties(fst::kTrinaryProperties, false));
    if (with_tables) {
      EXPECT_EQ(Texts(read->InputSymbols()), Texts(written.InputSymbols()));
      EXPECT_EQ(Texts(read->OutputSymbols()), Texts(written.OutputSymbols()));
    } else {
      EXPECT_EQ(read->InputSymbols(), nullptr);
      EXPECT_EQ(read->OutputSymbols(), nullptr);
    }
  }
}

TEST_F(FstFileTest, WritesTheExactBytes) {
  const VectorFst fst = SampleFst(true);
  const std::string path = PathOf("exact.fst");
  ASSERT_TRUE(WriteFstFile(fst, path).ok());

  Bytes expected;
  expected.Head({.flags = 3,
                 .properties = fst.Properties(fst::kTrinaryProperties, false) | 3,
                 .start = 2,
                 .num_states = 4,
                 .num_arcs = 4});
  expected.Table({{"<eps>", 0}, {"a", 1}, {"b|c", 2}}, "vurel");
  expected.Table({{"-", 0}, {"\xc9\x99", 1}, {"k|s", 2}}, "vurel");
  expected.State(kInfinity, {{2, 2, 0.0f, 1}});
  expected.State(0.0f);
  expected.State(kInfinity, {{1, 2, 0.5f, 0}, {0, 1, -1.0f, 3}, {2, 0, 3.0f, 2}});
  expected.State(std::nanf(""));
  EXPECT_EQ(Contents(path), expected.data());
}

TEST_F(FstFileTest, FlagsFollowTheTablesPresent) {
  const auto flags_of = [&](const VectorFst &fst) {
    const std::string path = PathOf("flags.fst");
    EXPECT_TRUE(WriteFstFile(fst, path).ok());
    // Magic, then "vector" and "standard" with their counts, then the version.
    const std::vector<std::byte> bytes = Contents(path);
    std::int32_t flags = -1;
    std::memcpy(&flags, bytes.data() + 4 + 10 + 12 + 4, sizeof flags);
    return flags;
  };
  VectorFst fst = SampleFst(false);
  EXPECT_EQ(flags_of(fst), 0);
  fst::SymbolTable table;
  table.AddSymbol("<eps>");
  fst.SetInputSymbols(&table);
  EXPECT_EQ(flags_of(fst), 1);
  fst.SetOutputSymbols(&table);
  EXPECT_EQ(flags_of(fst), 3);
  fst.SetInputSymbols(nullptr);
  EXPECT_EQ(flags_of(fst), 2);
}

TEST_F(FstFileTest, LargeFilesCrossTheWriteBuffer) {
  VectorFst fst;
  fst.AddStates(3000);
  fst.SetStart(0);
  for (Arc::StateId state = 0; state < 3000; ++state) {
    for (int arc = 0; arc < 5; ++arc) {
      fst.AddArc(state, Arc(arc, state % 7, state * 0.001f, (state + arc) % 3000));
    }
  }
  fst.SetFinal(2999, 1.0f);
  const std::string path = PathOf("large.fst");
  ASSERT_TRUE(WriteFstFile(fst, path).ok());
  auto read = ReadFstFile(path);
  ASSERT_TRUE(read.ok()) << read.error().message;
  ExpectSameFst(*read, fst);

  // Rewriting a smaller FST truncates the file.
  ASSERT_TRUE(WriteFstFile(SampleFst(false), path).ok());
  auto small = ReadFstFile(path);
  ASSERT_TRUE(small.ok());
  EXPECT_EQ(std::filesystem::file_size(path), 66u + 12 * 4 + 16 * 4);
}

TEST_F(FstFileTest, ReportsFilesThatCannotBeOpenedOrCreated) {
  const std::string missing = PathOf("no such dir/m\"x.fst");
  auto read = ReadFstFile(missing);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().code, ErrorCode::kInvalidInput);
  EXPECT_EQ(read.error().message, "Can't open vectorFst binary file : " + QuotePath(missing));
  EXPECT_NE(read.error().message.find("m\\\"x.fst\""), std::string::npos);

  auto directory = ReadFstFile(directory_.string());
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().message,
            "Can't open vectorFst binary file : " + QuotePath(directory_.string()));

  const Status created = WriteFstFile(SampleFst(false), missing);
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error().message,
            "Cannot create vectorFst binary file : " + QuotePath(missing));
}

TEST_F(FstFileTest, ReportsWriteFailures) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  const Status status = WriteFstFile(SampleFst(true), "/dev/full");
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, std::system_category().message(ENOSPC));
}

TEST_F(FstFileTest, RefusesTablesWithHoles) {
  VectorFst fst = SampleFst(false);
  fst::SymbolTable table;
  table.AddSymbol("<eps>", 0);
  table.AddSymbol("a", 2);
  fst.SetInputSymbols(&table);
  const std::string path = PathOf("holes.fst");
  std::filesystem::remove(path);
  const Status status = WriteFstFile(fst, path);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().code, ErrorCode::kInternal);
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(FstFileTest, ReadsTheSameAsParse) {
  const std::string path = PathOf("parsed.fst");
  Bytes bad;
  bad.Head({.version = 1}).State(0);
  WriteContents(path, bad);
  auto read = ReadFstFile(path);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().message, kVerify);

  WriteContents(path, FullFile());
  auto good = ReadFstFile(path);
  ASSERT_TRUE(good.ok()) << good.error().message;
  EXPECT_EQ(good->NumStates(), 3);
}

}  // namespace
}  // namespace vurel
