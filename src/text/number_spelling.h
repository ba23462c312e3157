// Numbers spelled out in words by the rules of CLDR, through ICU's
// rule-based number format: one NumberSpeller per language, built once.
#ifndef VUREL_TEXT_NUMBER_SPELLING_H_
#define VUREL_TEXT_NUMBER_SPELLING_H_

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uversion.h>

#include "result.h"

// ICU's namespace is versioned; its macros name it.
U_NAMESPACE_BEGIN
class RuleBasedNumberFormat;
U_NAMESPACE_END

namespace vurel::text {

// Any number of threads may share one speller. Spell() takes a mutex: ICU
// formats an exact decimal only with the formatter's default rule set, so
// each call must set that (setDefaultRuleSet changes the formatter), and
// ICU's headers do not promise that even its const format() calls may run
// at once on one formatter. A call takes microseconds, so threads that
// spell at the same time wait little; give each its own speller otherwise.
class NumberSpeller {
 public:
  // `language` is a language code such as "en" or "pt"; an error names it
  // when ICU has no spell-out rules of that language (ICU would fall back
  // to another language's rules without saying so).
  static Result<NumberSpeller> Create(std::string_view language);

  NumberSpeller(NumberSpeller &&) noexcept;
  NumberSpeller &operator=(NumberSpeller &&) noexcept;
  ~NumberSpeller();

  // `number` spelled with the public rule set `rule_set` (for example
  // "%spellout-numbering", "%spellout-numbering-year",
  // "%spellout-ordinal"). `number` is an exact decimal: an optional '-',
  // ASCII digits, and optionally '.' and more digits. ICU's own output,
  // soft hyphens (U+00AD) between the parts of compound words kept; whole
  // numbers from 10^18 on, past the rules' range, come back as grouped
  // digits (the language's own: Arabic-Indic in ar and fa), every digit
  // kept. A number with a fraction goes through
  // a double inside ICU, so past about 15 significant digits it is rounded.
  // An error names a malformed number or a rule set the language lacks.
  Result<std::string> Spell(std::string_view number, std::string_view rule_set) const;

  // The language's public rule sets, in ICU's order.
  const std::vector<std::string> &rule_sets() const { return rule_sets_; }
  const std::string &language() const { return language_; }

 private:
  NumberSpeller(std::string language, std::unique_ptr<icu::RuleBasedNumberFormat> format);

  std::string language_;
  std::vector<std::string> rule_sets_;
  std::unique_ptr<icu::RuleBasedNumberFormat> format_;
  std::unique_ptr<std::mutex> mutex_;  // held by pointer so that a speller can move
};

}  // namespace vurel::text

#endif  // VUREL_TEXT_NUMBER_SPELLING_H_
