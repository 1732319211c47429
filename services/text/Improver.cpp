#include "Improver.h"

#include "Utf8.h"

#include <hunspell/hunspell.hxx>

#include <algorithm>
#include <array>
#include <future>
#include <mutex>
#include <set>

namespace parlomatic::textservice {

struct Improver::Dictionary {
    std::unique_ptr<Hunspell> hunspell;
    std::mutex mutex;
};

namespace {

using Clock = std::chrono::steady_clock;

bool isSpace(char32_t c)
{
    return c == U' ' || c == U'\t' || c == U'\n' || c == U'\r' || c == U'\u00a0';
}

bool isApostrophe(char32_t c)
{
    return c == U'\'' || c == U'\u2019';
}

bool isSentenceEnd(char32_t c)
{
    return c == U'.' || c == U'!' || c == U'?';
}

bool isClosing(char32_t c)
{
    return c == U')' || c == U'"' || c == U'\'' || c == U'\u201d' || c == U'\u2019' || c == U'\u00bb';
}

bool isOpening(char32_t c)
{
    return c == U'(' || c == U'"' || c == U'\'' || c == U'\u201c' || c == U'\u00ab' || c == U'\u00bf' || c == U'\u00a1';
}

// A chunk (between white space) with digits or symbols is an address, a path, a number or code.
bool isProtectedChunk(std::u32string_view chunk)
{
    static constexpr std::u32string_view symbols = U"@/\\_#=+*<>{}|~^&%$[]";
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        const char32_t c = chunk[i];
        if ((c >= U'0' && c <= U'9') || symbols.find(c) != std::u32string_view::npos) {
            return true;
        }
        if (c == U'.' && i > 0 && i + 1 < chunk.size() && isLetter(chunk[i - 1]) && isLetter(chunk[i + 1])) {
            return true;
        }
    }
    return false;
}

struct Word {
    std::size_t begin;
    std::size_t end;
    bool isProtected;
};

// Runs of letters (with apostrophes between letters), each marked by its chunk.
std::vector<Word> findWords(std::u32string_view text)
{
    std::vector<Word> words;
    std::size_t chunkBegin = 0;
    bool chunkProtected = false;
    for (std::size_t i = 0; i < text.size();) {
        if (isSpace(text[i])) {
            ++i;
            continue;
        }
        if (i == 0 || isSpace(text[i - 1])) {
            chunkBegin = i;
            std::size_t chunkEnd = i;
            while (chunkEnd < text.size() && !isSpace(text[chunkEnd])) {
                ++chunkEnd;
            }
            chunkProtected = isProtectedChunk(text.substr(chunkBegin, chunkEnd - chunkBegin));
        }
        if (!isLetter(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && (isLetter(text[end]) || (isApostrophe(text[end]) && end + 1 < text.size() &&
                                                             isLetter(text[end + 1]) && end > i))) {
            ++end;
        }
        words.push_back({i, end, chunkProtected});
        i = end;
    }
    return words;
}

bool isAbbreviationBefore(std::u32string_view text, std::size_t dot)
{
    static const std::set<std::u32string> known = {U"etc", U"vs",   U"mr",  U"mrs", U"ms",  U"dr",     U"sr",
                                                   U"sra", U"srta", U"dra", U"st",  U"no",  U"approx", U"aprox",
                                                   U"ej",  U"p",    U"pp",  U"cf",  U"fig", U"av"};
    if (dot > 0 && text[dot - 1] == U'.') {
        return true; // an ellipsis
    }
    std::size_t begin = dot;
    while (begin > 0 && isLetter(text[begin - 1])) {
        --begin;
    }
    if (dot - begin <= 1 || (begin > 0 && text[begin - 1] == U'.')) {
        return true; // an initial, or "e.g."
    }
    return known.contains(toLower(text.substr(begin, dot - begin)));
}

// Where a sentence begins before `wordBegin`: -1 when it does not, 0 at the start of the text, 1
// after a sentence end.
int sentenceStart(std::u32string_view text, std::size_t wordBegin)
{
    std::size_t i = wordBegin;
    while (i > 0 && isOpening(text[i - 1])) {
        --i;
    }
    const std::size_t beforeSpace = i;
    while (i > 0 && isSpace(text[i - 1])) {
        --i;
    }
    if (i == 0) {
        return 0;
    }
    if (i == beforeSpace) {
        return -1;
    }
    while (i > 0 && isClosing(text[i - 1])) {
        --i;
    }
    if (i == 0 || !isSentenceEnd(text[i - 1])) {
        return -1;
    }
    if (text[i - 1] == U'.' && isAbbreviationBefore(text, i - 1)) {
        return -1;
    }
    return 1;
}

bool endsSentence(std::u32string_view text)
{
    std::size_t end = text.size();
    while (end > 0 && (isSpace(text[end - 1]) || isClosing(text[end - 1]))) {
        --end;
    }
    return end > 0 && isSentenceEnd(text[end - 1]);
}

// Optimal string alignment distance, stopping early above 1.
bool withinOneEdit(std::u32string_view a, std::u32string_view b)
{
    if (a.size() > b.size()) {
        std::swap(a, b);
    }
    if (b.size() - a.size() > 1) {
        return false;
    }
    std::size_t start = 0;
    while (start < a.size() && a[start] == b[start]) {
        ++start;
    }
    if (a.size() == b.size()) {
        if (start == a.size()) {
            return true;
        }
        if (a.substr(start + 1) == b.substr(start + 1)) {
            return true; // one letter changed
        }
        return start + 1 < a.size() && a[start] == b[start + 1] && a[start + 1] == b[start] &&
               a.substr(start + 2) == b.substr(start + 2); // two letters swapped
    }
    return a.substr(start) == b.substr(start + 1); // one letter added
}

// Variants of a letter with a diacritic, for the languages that write them.
std::u32string_view accented(char32_t letter, Lang lang)
{
    if (lang == Lang::en) {
        return {};
    }
    const bool pt = lang == Lang::pt;
    switch (letter) {
    case U'a':
        return pt ? U"\u00e1\u00e0\u00e2\u00e3" : U"\u00e1";
    case U'e':
        return pt ? U"\u00e9\u00ea" : U"\u00e9";
    case U'i':
        return U"\u00ed";
    case U'o':
        return pt ? U"\u00f3\u00f4\u00f5" : U"\u00f3";
    case U'u':
        return U"\u00fa\u00fc";
    case U'n':
        return pt ? U"" : U"\u00f1";
    case U'c':
        return pt ? U"\u00e7" : U"";
    default:
        return {};
    }
}

// The one known word that a common slip explains, without asking Hunspell for suggestions (slow:
// up to hundreds of milliseconds a word): by kind, a missing or wrong accent, then two letters
// swapped, then a letter doubled or not doubled, then a letter missing, then a letter too many.
// Empty when the first kind with known words has more than one.
std::u32string closeCorrection(Hunspell& hunspell, const std::u32string& word, Lang lang)
{
    const auto known = [&](const std::u32string& candidate) { return hunspell.spell(toUtf8(candidate)); };
    std::u32string alphabet = U"abcdefghijklmnopqrstuvwxyz";
    for (const char32_t vowel : std::u32string_view(U"aeioucn")) {
        alphabet += accented(vowel, lang);
    }
    std::vector<std::u32string> kinds[5];
    for (std::size_t i = 0; i <= word.size(); ++i) {
        for (const char32_t letter : alphabet) {
            kinds[3].push_back(word.substr(0, i) + letter + word.substr(i));
        }
        if (i == word.size()) {
            break;
        }
        kinds[4].push_back(word.substr(0, i) + word.substr(i + 1));
        for (const char32_t variant : accented(word[i], lang)) {
            std::u32string candidate = word;
            candidate[i] = variant;
            kinds[0].push_back(std::move(candidate));
        }
        if (i + 1 < word.size() && word[i] != word[i + 1]) {
            std::u32string candidate = word;
            std::swap(candidate[i], candidate[i + 1]);
            kinds[1].push_back(std::move(candidate));
        }
        if (i + 1 < word.size() && word[i] == word[i + 1]) {
            kinds[2].push_back(word.substr(0, i) + word.substr(i + 1));
        } else if (i == 0 || word[i - 1] != word[i]) {
            kinds[2].push_back(word.substr(0, i + 1) + word.substr(i));
        }
    }
    for (auto& candidates : kinds) {
        std::erase_if(candidates, [&](const std::u32string& candidate) { return !known(candidate); });
        std::ranges::sort(candidates);
        const auto [first, last] = std::ranges::unique(candidates);
        candidates.erase(first, last);
        if (candidates.size() == 1) {
            return candidates.front();
        }
        if (!candidates.empty()) {
            return {};
        }
    }
    return {};
}

bool hasInnerCapital(std::u32string_view word)
{
    return std::any_of(word.begin() + 1, word.end(), isUpper);
}

} // namespace

Improver::Improver(const std::filesystem::path& dictionaryDirectory)
{
    // Loaded side by side: the Portuguese dictionary alone takes about a second.
    const std::array<const char*, 3> names = {"en_US", "es_MX", "pt_BR"};
    std::vector<std::future<void>> loading;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto aff = dictionaryDirectory / (std::string(names[i]) + ".aff");
        const auto dic = dictionaryDirectory / (std::string(names[i]) + ".dic");
        if (std::filesystem::exists(aff) && std::filesystem::exists(dic)) {
            m_dictionaries[i] = std::make_unique<Dictionary>();
            loading.push_back(std::async(std::launch::async, [dictionary = m_dictionaries[i].get(), aff, dic] {
                dictionary->hunspell = std::make_unique<Hunspell>(aff.c_str(), dic.c_str());
            }));
        }
    }
    for (auto& load : loading) {
        load.get();
    }
}

Improver::~Improver() = default;

bool Improver::loaded() const
{
    return std::ranges::all_of(m_dictionaries, [](const auto& dictionary) { return dictionary != nullptr; });
}

Improver::Dictionary* Improver::dictionary(Lang lang) const
{
    return m_dictionaries[static_cast<int>(lang)].get();
}

std::optional<Lang> Improver::detect(std::string_view text) const
{
    if (auto detected = detectLanguage(text)) {
        return detected;
    }
    const std::u32string wide = fromUtf8(text);
    const auto words = findWords(wide);
    std::optional<Lang> best;
    std::size_t bestKnown = 0;
    for (const Lang lang : {Lang::en, Lang::es, Lang::pt}) {
        auto* dict = dictionary(lang);
        if (dict == nullptr) {
            continue;
        }
        std::lock_guard lock(dict->mutex);
        const auto known = std::ranges::count_if(words, [&](const Word& word) {
            return dict->hunspell->spell(toUtf8(std::u32string_view(wide).substr(word.begin, word.end - word.begin)));
        });
        if (static_cast<std::size_t>(known) > bestKnown && static_cast<std::size_t>(known) * 2 > words.size()) {
            bestKnown = static_cast<std::size_t>(known);
            best = lang;
        }
    }
    return best;
}

std::string Improver::improve(std::string_view text, std::chrono::milliseconds spellingBudget) const
{
    return improve(text, detect(text), spellingBudget);
}

std::string Improver::improve(std::string_view text, std::optional<Lang> lang,
                              std::chrono::milliseconds spellingBudget) const
{
    std::u32string out = fromUtf8(text);

    // Spelling, last word first so earlier offsets stay valid.
    if (auto* dict = lang ? dictionary(*lang) : nullptr) {
        std::lock_guard lock(dict->mutex);
        const auto deadline = Clock::now() + spellingBudget;
        auto words = findWords(out);
        std::vector<std::pair<Word, std::u32string>> replacements;
        for (const Word& word : words) {
            const std::u32string_view original = std::u32string_view(out).substr(word.begin, word.end - word.begin);
            if (word.isProtected || original.size() < 3 || hasInnerCapital(original) ||
                (isUpper(original.front()) && sentenceStart(out, word.begin) < 0)) {
                continue;
            }
            const std::string utf8 = toUtf8(original);
            if (dict->hunspell->spell(utf8)) {
                continue;
            }
            std::u32string best = closeCorrection(*dict->hunspell, toLower(original), *lang);
            if (best.empty()) {
                if (Clock::now() > deadline) {
                    continue;
                }
                const auto suggestions = dict->hunspell->suggest(utf8);
                best = suggestions.empty() ? std::u32string() : fromUtf8(suggestions.front());
                if (best.empty() || std::ranges::any_of(best, isSpace) ||
                    !withinOneEdit(toLower(original), toLower(best))) {
                    continue;
                }
            }
            if (isUpper(original.front())) {
                best.front() = toUpper(best.front());
            }
            replacements.emplace_back(word, std::move(best));
        }
        for (auto it = replacements.rbegin(); it != replacements.rend(); ++it) {
            out.replace(it->first.begin, it->first.end - it->first.begin, it->second);
        }
    }

    // Spacing.
    std::u32string spaced;
    spaced.reserve(out.size());
    for (std::size_t i = 0; i < out.size();) {
        if (out[i] != U' ') {
            spaced += out[i++];
            continue;
        }
        std::size_t end = i;
        while (end < out.size() && out[end] == U' ') {
            ++end;
        }
        const bool lineStart = i == 0 || out[i - 1] == U'\n';
        const bool lineEnd = end == out.size() || out[end] == U'\n' || out[end] == U'\r';
        std::size_t punctuationEnd = end;
        while (punctuationEnd < out.size() &&
               std::u32string_view(U",.;:!?").find(out[punctuationEnd]) != std::u32string_view::npos) {
            ++punctuationEnd;
        }
        const bool beforePunctuation =
            !lineStart && punctuationEnd > end && (isLetter(out[i - 1]) || isClosing(out[i - 1])) &&
            (punctuationEnd == out.size() || isSpace(out[punctuationEnd]) || isClosing(out[punctuationEnd]));
        if (beforePunctuation) {
            // dropped
        } else if (lineStart || lineEnd) {
            spaced.append(end - i, U' ');
        } else {
            spaced += U' ';
        }
        i = end;
    }
    out = std::move(spaced);

    // Capitals.
    const bool wholeSentences = endsSentence(out);
    for (const Word& word : findWords(out)) {
        if (word.isProtected) {
            continue;
        }
        const std::u32string_view original = std::u32string_view(out).substr(word.begin, word.end - word.begin);
        const bool allLower = std::ranges::none_of(original, isUpper);
        const int start = sentenceStart(out, word.begin);
        const bool englishI = lang == Lang::en && original.front() == U'i' &&
                              (original.size() == 1 || (isApostrophe(original[1]) &&
                                                        (original.substr(2) == U"m" || original.substr(2) == U"ve" ||
                                                         original.substr(2) == U"ll" || original.substr(2) == U"d")));
        if (englishI || (allLower && (start == 1 || (start == 0 && wholeSentences)))) {
            out[word.begin] = toUpper(out[word.begin]);
        }
    }
    return toUtf8(out);
}

} // namespace parlomatic::textservice
