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

// Rewrites a text by rules it can be sure of, and leaves everything else as it was:
// - a misspelt word (unknown to the language's Hunspell dictionary) becomes Hunspell's best
//   suggestion when that is one edit away (one letter added, dropped, changed or two swapped), is a
//   single word, and the word is not a name (capitalised inside a sentence), an acronym or mixed
//   case, shorter than three letters, or part of a token with digits or symbols (addresses, paths,
//   code); the word's leading capital is kept;
// - repeated spaces inside a line become one (indentation and line breaks stay);
// - spaces before , . ; : ! ? at the end of a word go;
// - a sentence's first word gets a capital after . ! ? (not after an abbreviation, an initial or an
//   ellipsis), and the text's first word when the text ends a sentence;
// - in English, "i" as a word (also "i'm", "i've", "i'll", "i'd") becomes "I".
// Grammar, word choice and punctuation beyond these are not touched.
// Thread-safe; each dictionary is used by one request at a time.
class Improver {
public:
    // Loads en_US, es_MX and pt_BR from `dictionaryDirectory` (Debian: /usr/share/hunspell).
    explicit Improver(const std::filesystem::path& dictionaryDirectory);
    ~Improver();
    Improver(const Improver&) = delete;
    Improver& operator=(const Improver&) = delete;

    // False when a dictionary is missing.
    bool loaded() const;

    // The language is detected (CLD2, else the dictionary that knows most of the words); without
    // one, only the spacing and capital rules apply. Spelling stops being corrected (the rest of
    // the text keeps its words) once suggestions have taken `spellingBudget`.
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
};

} // namespace parlomatic::textservice
