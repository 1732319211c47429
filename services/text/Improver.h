#pragma once

#include "Languages.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class Hunspell;

namespace parlomatic::textservice {

class GrammarChecker;

// Rewrites a text by rules it can be sure of, and leaves everything else as it was:
// - in English, when the grammar worker answers, the fixes it is sure of (a/an, repeated words,
//   "could of", "their going", "alot", "its"/"it's", "then"/"than" and the like);
// - a misspelt word (unknown to the language's Hunspell dictionary, and in English to Harper's too
//   where the worker checked the text) becomes a known word that a common slip explains; the kinds
//   of slip, in order: a missing apostrophe (English), a missing or wrong accent, two letters
//   swapped, a letter doubled or not, a letter missing, a letter too many, a wrong vowel (English).
//   Where Harper has suggestions, its best one in the first kind that holds any; else the one word
//   of the first kind that explains any, when that kind is not a letter too many or a wrong vowel
//   (without the worker, English asks Hunspell's ranking for those and for a choice between
//   several; Spanish and Portuguese take Hunspell's best suggestion when that is one edit away and
//   a single word). Left alone: names (capitalised inside a sentence), acronyms and mixed case,
//   words shorter than three letters, tokens with digits or symbols and command-line options
//   (addresses, paths, code), fixes that only drop an accent, in English words with letters beyond
//   ASCII (loan words) or that do not look English (no vowel, or a start such as "tm": tool names),
//   and without the worker English words that split into two known ones ("alot"). The word's
//   leading capital is kept;
// - repeated spaces inside a line become one (indentation and line breaks stay);
// - spaces before , . ; : ! ? at the end of a word go;
// - a sentence's first word gets a capital after . ! ? (not after an abbreviation, an initial or an
//   ellipsis), and the text's first word when the text ends a sentence;
// - in English, "i" as a word (also "i'm", "i've", "i'll", "i'd") becomes "I".
// Grammar, word choice and punctuation beyond these are not touched.
// Thread-safe; each dictionary is used by one request at a time.
class Improver {
public:
    // Loads en_US, es_MX and pt_BR from `dictionaryDirectory` (Debian: /usr/share/hunspell). English
    // grammar goes to `grammar` when there is one and it answers.
    explicit Improver(const std::filesystem::path& dictionaryDirectory, GrammarChecker* grammar = nullptr);
    ~Improver();
    Improver(const Improver&) = delete;
    Improver& operator=(const Improver&) = delete;

    // False when a dictionary is missing.
    bool loaded() const;

    GrammarChecker* grammar() const { return m_grammar; }

    // The language is detected (CLD2, else the dictionary that knows most of the words); without
    // one, only the spacing and capital rules apply. Spelling stops being corrected (the rest of
    // the text keeps its words) once suggestions have taken `spellingBudget`; the grammar worker
    // checks for as long at most.
    std::string improve(std::string_view text,
                        std::chrono::milliseconds spellingBudget = std::chrono::seconds(2)) const;
    std::string improve(std::string_view text, std::optional<Lang> lang,
                        std::chrono::milliseconds spellingBudget = std::chrono::seconds(2)) const;

    // The text's language: CLD2's, else that of the dictionary that knows most (over half) of its
    // words; nothing when neither decides.
    std::optional<Lang> detect(std::string_view text) const;

private:
    struct Dictionary;
    Dictionary* dictionary(Lang lang) const;

    std::unique_ptr<Dictionary> m_dictionaries[3];
    GrammarChecker* m_grammar;
};

} // namespace parlomatic::textservice
