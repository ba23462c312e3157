#include "number_spelling.h"

#include <unicode/fieldpos.h>
#include <unicode/fmtable.h>
#include <unicode/locid.h>
#include <unicode/rbnf.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace vurel::text {
namespace {

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// -?D+(.D+)? with D an ASCII digit. ICU would also take exponents, a '+',
// "NaN" and "Infinity"; the text layer never means those.
bool IsDecimal(std::string_view number) {
  std::size_t at = number.starts_with('-') ? 1 : 0;
  const std::size_t integer_start = at;
  while (at < number.size() && IsAsciiDigit(number[at])) ++at;
  if (at == integer_start) return false;
  if (at == number.size()) return true;
  if (number[at] != '.') return false;
  const std::size_t fraction_start = ++at;
  while (at < number.size() && IsAsciiDigit(number[at])) ++at;
  return at > fraction_start && at == number.size();
}

// A language subtag: two or three ASCII letters, lower case.
bool IsLanguageCode(std::string_view language) {
  return (language.size() == 2 || language.size() == 3) &&
         std::all_of(language.begin(), language.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// `text` in quotes for an error message: control characters as \xNN, so
// that a NUL cannot cut the message short, and about 40 bytes of it, cut
// where a character starts.
std::string Quoted(std::string_view text) {
  std::size_t shown = std::min<std::size_t>(text.size(), 40);
  while (shown < text.size() && (static_cast<unsigned char>(text[shown]) & 0xC0) == 0x80) --shown;
  std::string quoted(1, '\'');
  for (const char c : text.substr(0, shown)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      constexpr char kHex[] = "0123456789abcdef";
      quoted += "\\x";
      quoted.push_back(kHex[byte >> 4]);
      quoted.push_back(kHex[byte & 0xF]);
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  if (shown < text.size()) quoted += "...";
  return quoted;
}

}  // namespace

NumberSpeller::NumberSpeller(std::string language,
                             std::unique_ptr<icu::RuleBasedNumberFormat> format)
    : language_(std::move(language)),
      format_(std::move(format)),
      mutex_(std::make_unique<std::mutex>()) {
  const std::int32_t count = format_->getNumberOfRuleSetNames();
  for (std::int32_t i = 0; i < count; ++i) {
    std::string name;
    format_->getRuleSetName(i).toUTF8String(name);
    rule_sets_.push_back(std::move(name));
  }
}
NumberSpeller::NumberSpeller(NumberSpeller &&) noexcept = default;
NumberSpeller &NumberSpeller::operator=(NumberSpeller &&) noexcept = default;
NumberSpeller::~NumberSpeller() = default;

Result<NumberSpeller> NumberSpeller::Create(std::string_view language) {
  if (!IsLanguageCode(language)) {
    return InvalidInput("no number spell-out for language " + Quoted(language) +
                        ": not a language code such as 'en'");
  }
  const std::string code(language);
  UErrorCode status = U_ZERO_ERROR;
  auto format = std::make_unique<icu::RuleBasedNumberFormat>(icu::URBNF_SPELLOUT,
                                                             icu::Locale(code.c_str()), status);
  if (U_FAILURE(status)) {
    return InvalidInput("no number spell-out for language " + Quoted(language) + ": " +
                        u_errorName(status));
  }
  // Rules of the root locale or of the default locale stand in, with only a
  // warning, for a language ICU lacks.
  const icu::Locale actual = format->getLocale(ULOC_ACTUAL_LOCALE, status);
  if (U_FAILURE(status) || code != actual.getLanguage()) {
    return InvalidInput("no number spell-out for language " + Quoted(language) +
                        ": ICU has no rules for it");
  }
  return NumberSpeller(code, std::move(format));
}

Result<std::string> NumberSpeller::Spell(std::string_view number, std::string_view rule_set) const {
  if (!IsDecimal(number)) {
    return InvalidInput("cannot spell " + Quoted(number) +
                        ": not a decimal number such as '-1234.5'");
  }
  // setDefaultRuleSet would also take "" (the language's default) and
  // private rule sets, which are not part of the language's contract.
  if (std::find(rule_sets_.begin(), rule_sets_.end(), rule_set) == rule_sets_.end()) {
    return InvalidInput("no rule set " + Quoted(rule_set) + " for language " + Quoted(language_));
  }
  UErrorCode status = U_ZERO_ERROR;
  // Parsed from the text, so that no digit is lost to a double.
  const icu::Formattable value(
      icu::StringPiece(number.data(), static_cast<std::int32_t>(number.size())), status);
  if (U_FAILURE(status)) {
    return InvalidInput("cannot spell " + Quoted(number) + ": " + u_errorName(status));
  }
  icu::UnicodeString spelled;
  {
    std::lock_guard<std::mutex> lock(*mutex_);
    format_->setDefaultRuleSet(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                   rule_set.data(), static_cast<std::int32_t>(rule_set.size()))),
                               status);
    icu::FieldPosition position(icu::FieldPosition::DONT_CARE);
    if (U_SUCCESS(status)) format_->format(value, spelled, position, status);
  }
  if (U_FAILURE(status)) {
    return InternalError("ICU cannot spell " + Quoted(number) + " with " + Quoted(rule_set) +
                         ": " + u_errorName(status));
  }
  std::string text;
  spelled.toUTF8String(text);
  return text;
}

}  // namespace vurel::text
