#include "number_spelling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace vurel::text {
namespace {

// U+00AD, which ICU puts between the parts of compound number words.
#define SHY "\u00AD"

struct Spelling {
  const char *language;
  const char *number;
  const char *rule_set;
  const char *words;
};

class SpellTest : public testing::TestWithParam<Spelling> {};

TEST_P(SpellTest, SpellsAsCldrSays) {
  const Spelling &spelling = GetParam();
  Result<NumberSpeller> speller = NumberSpeller::Create(spelling.language);
  ASSERT_TRUE(speller.ok()) << speller.error().message;
  Result<std::string> words = speller->Spell(spelling.number, spelling.rule_set);
  ASSERT_TRUE(words.ok()) << words.error().message;
  EXPECT_EQ(*words, spelling.words);
}

// Spell-outs measured with ICU 72 (see the text layer's facts), and the
// forms each rule set exists for.
INSTANTIATE_TEST_SUITE_P(
    Cases, SpellTest,
    testing::Values(
        Spelling{"en", "21", "%spellout-numbering", "twenty-one"},
        Spelling{"en", "1234.5", "%spellout-numbering", "one thousand two hundred thirty-four point five"},
        Spelling{"en", "2026", "%spellout-numbering", "two thousand twenty-six"},
        Spelling{"en", "2026", "%spellout-numbering-year", "twenty twenty-six"},
        Spelling{"en", "-1234.5", "%spellout-numbering", "minus one thousand two hundred thirty-four point five"},
        Spelling{"en", "22", "%spellout-ordinal", "twenty-second"},
        Spelling{"de", "1234.5", "%spellout-numbering",
                 "ein" SHY "tausend" SHY "zwei" SHY "hundert" SHY "vier" SHY "und" SHY "drei\u00DFig Komma f\u00FCnf"},
        Spelling{"de", "2026", "%spellout-numbering", "zwei" SHY "tausend" SHY "sechs" SHY "und" SHY "zwanzig"},
        Spelling{"fr", "21", "%spellout-numbering", "vingt-et-un"},
        Spelling{"fr", "1", "%spellout-ordinal-feminine", "premi\u00E8re"},
        Spelling{"es", "21", "%spellout-numbering", "veintiuno"},
        Spelling{"it", "2026", "%spellout-numbering", "due" SHY "mila" SHY "venti" SHY "sei"},
        Spelling{"ru", "2026", "%spellout-numbering", "\u0434\u0432\u0435 \u0442\u044B\u0441\u044F\u0447\u0438 "
                 "\u0434\u0432\u0430\u0434\u0446\u0430\u0442\u044C \u0448\u0435\u0441\u0442\u044C"},
        Spelling{"cs", "21", "%spellout-numbering", "dvacet jeden"},
        Spelling{"sv", "2026", "%spellout-numbering", "tv\u00E5" SHY "tusen tjugo" SHY "sex"},
        Spelling{"ca", "21", "%spellout-numbering", "vint-i-u"},
        Spelling{"sw", "21", "%spellout-numbering", "ishirini na moja"},
        Spelling{"lb", "21", "%spellout-numbering", "eenanzwanzeg"},
        // The rules end at 10^18: one less is still words.
        Spelling{"en", "999999999999999999", "%spellout-numbering",
                 "nine hundred ninety-nine quadrillion nine hundred ninety-nine trillion "
                 "nine hundred ninety-nine billion nine hundred ninety-nine million "
                 "nine hundred ninety-nine thousand nine hundred ninety-nine"},
        Spelling{"en", "1000000000000000000", "%spellout-numbering", "1,000,000,000,000,000,000"},
        // Past the rules' range ICU writes the digits, grouped, in the
        // language's own digits; a double would have lost the last ones.
        Spelling{"ar", "12345678901234567890", "%spellout-numbering",
                 "١٢٬٣٤٥٬٦٧٨٬٩٠١"
                 "٬٢٣٤٬٥٦٧٬٨٩٠"},
        Spelling{"en", "123456789012345678901234567890", "%spellout-numbering",
                 "123,456,789,012,345,678,901,234,567,890"},
        Spelling{"de", "123456789012345678901234567890", "%spellout-numbering",
                 "123.456.789.012.345.678.901.234.567.890"}),
    [](const testing::TestParamInfo<Spelling> &info) {
      std::string name = std::string(info.param.language) + "_" + info.param.number + "_" +
                         (info.param.rule_set + 1);
      std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
      return name;
    });

TEST(NumberSpeller, EveryRegistryLanguageBuildsWithItsNumberingRuleSets) {
  for (const char *language : {"en", "de", "fr", "es", "it", "pt", "nl", "ru", "cs", "sv", "ca",
                               "ar", "fa", "sw", "lb"}) {
    Result<NumberSpeller> speller = NumberSpeller::Create(language);
    ASSERT_TRUE(speller.ok()) << language << ": " << speller.error().message;
    EXPECT_EQ(speller->language(), language);
    const std::vector<std::string> &sets = speller->rule_sets();
    for (const char *needed : {"%spellout-numbering", "%spellout-numbering-year"}) {
      EXPECT_NE(std::find(sets.begin(), sets.end(), needed), sets.end()) << language << " " << needed;
    }
    for (const std::string &set : sets) EXPECT_FALSE(set.starts_with("%%")) << "private: " << set;
  }
}

TEST(NumberSpeller, RejectsWhatItCannotSpellNamingIt) {
  struct Bad {
    const char *language;
    const char *number;
    const char *rule_set;
    const char *named;
  };
  const Bad cases[] = {
      {"xx", "1", "%spellout-numbering", "'xx'"},       // ICU would use root's rules
      {"", "1", "%spellout-numbering", "''"},           // the default locale would stand in
      {"en_US", "1", "%spellout-numbering", "'en_US'"}, // not a language code
      {"en", "1", "%spellout-nonsense", "'%spellout-nonsense'"},
      {"en", "1", "", "''"},                            // ICU's default, not a rule set
      {"en", "1", "%%private", "'%%private'"},          // not public
      {"cs", "1", "%spellout-ordinal", "'%spellout-ordinal'"},  // Czech has none
      {"en", "1e5", "%spellout-numbering", "'1e5'"},    // ICU would take exponents
      {"en", "1,234", "%spellout-numbering", "'1,234'"},
      {"en", "+1", "%spellout-numbering", "'+1'"},
      {"en", "1.", "%spellout-numbering", "'1.'"},
      {"en", ".5", "%spellout-numbering", "'.5'"},
      {"en", "-", "%spellout-numbering", "'-'"},
      {"en", "NaN", "%spellout-numbering", "'NaN'"},
      {"en", "", "%spellout-numbering", "''"},
      {"en", "\xD9\xA1", "%spellout-numbering", "'\xD9\xA1'"},  // Arabic-Indic one: not ASCII
  };
  for (const Bad &bad : cases) {
    Result<NumberSpeller> speller = NumberSpeller::Create(bad.language);
    const Error error = speller.ok() ? speller->Spell(bad.number, bad.rule_set).error()
                                     : speller.error();
    EXPECT_EQ(error.code, ErrorCode::kInvalidInput) << bad.named;
    EXPECT_NE(error.message.find(bad.named), std::string::npos) << error.message;
  }
}

TEST(NumberSpeller, TwoHundredDigitsKeepEveryDigit) {
  std::string number;
  for (int i = 0; i < 200; ++i) number.push_back(static_cast<char>('1' + i % 9));
  Result<NumberSpeller> speller = NumberSpeller::Create("en");
  ASSERT_TRUE(speller.ok());
  Result<std::string> words = speller->Spell(number, "%spellout-numbering");
  ASSERT_TRUE(words.ok()) << words.error().message;
  std::string digits = *words;
  std::erase(digits, ',');
  EXPECT_EQ(digits, number);
}

TEST(NumberSpeller, ThreadsSharingOneSpellerGetTheirOwnRuleSets) {
  // Each thread asks for another rule set of the same number; a spell that
  // ran with another thread's rule set shows as the other thread's words.
  Result<NumberSpeller> speller = NumberSpeller::Create("en");
  ASSERT_TRUE(speller.ok());
  const char *rule_sets[] = {"%spellout-numbering", "%spellout-ordinal", "%spellout-numbering-year"};
  const char *expected[] = {"one thousand nine hundred ninety", "one thousand nine hundred ninetieth",
                            "nineteen ninety"};
  std::vector<int> wrong(3, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        Result<std::string> words = speller->Spell("1990", rule_sets[t]);
        if (!words.ok() || *words != expected[t]) ++wrong[t];
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(3, 0));
}

}  // namespace
}  // namespace vurel::text
