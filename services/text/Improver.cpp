#include "Improver.h"

#include "GrammarChecker.h"
#include "Utf8.h"

#include <hunspell/hunspell.hxx>

#include <algorithm>
#include <array>
#include <cstdint>
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

// A chunk (between white space) with digits or symbols is an address, a path, a number or code; one
// that starts with a dash and a letter is a command-line option.
bool isProtectedChunk(std::u32string_view chunk)
{
    static constexpr std::u32string_view symbols = U"@/\\_#=+*<>{}|~^&%$[]";
    if (chunk.size() > 1 && chunk[0] == U'-' && (isLetter(chunk[1]) || chunk[1] == U'-')) {
        return true;
    }
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

bool isVowel(char32_t c)
{
    return std::u32string_view(U"aeiou").find(c) != std::u32string_view::npos;
}

// Kinds of common slips, in the order they are tried.
enum Slip : std::uint8_t {
    missingApostrophe,
    accent,
    swapped,
    doubled,
    missingLetter,
    extraLetter,
    wrongVowel,
    slipKinds
};

// The known words that each kind of common slip explains, found without asking Hunspell for
// suggestions (slow: up to hundreds of milliseconds a word): a missing apostrophe and a wrong vowel
// in English only, a missing or wrong accent, two letters swapped, a letter doubled or not doubled,
// a letter missing, a letter too many.
std::array<std::vector<std::u32string>, slipKinds> commonSlips(Hunspell& hunspell, const std::u32string& word,
                                                               Lang lang)
{
    const auto known = [&](const std::u32string& candidate) { return hunspell.spell(toUtf8(candidate)); };
    std::u32string alphabet = U"abcdefghijklmnopqrstuvwxyz";
    for (const char32_t vowel : std::u32string_view(U"aeioucn")) {
        alphabet += accented(vowel, lang);
    }
    std::array<std::vector<std::u32string>, slipKinds> kinds;
    for (std::size_t i = 0; i <= word.size(); ++i) {
        for (const char32_t letter : alphabet) {
            kinds[missingLetter].push_back(word.substr(0, i) + letter + word.substr(i));
        }
        if (i == word.size()) {
            break;
        }
        if (lang == Lang::en && i > 0) {
            kinds[missingApostrophe].push_back(word.substr(0, i) + U"'" + word.substr(i));
        }
        kinds[extraLetter].push_back(word.substr(0, i) + word.substr(i + 1));
        for (const char32_t variant : accented(word[i], lang)) {
            std::u32string candidate = word;
            candidate[i] = variant;
            kinds[accent].push_back(std::move(candidate));
        }
        if (i + 1 < word.size() && word[i] != word[i + 1]) {
            std::u32string candidate = word;
            std::swap(candidate[i], candidate[i + 1]);
            kinds[swapped].push_back(std::move(candidate));
        }
        if (i + 1 < word.size() && word[i] == word[i + 1]) {
            kinds[doubled].push_back(word.substr(0, i) + word.substr(i + 1));
        } else if (i == 0 || word[i - 1] != word[i]) {
            kinds[doubled].push_back(word.substr(0, i + 1) + word.substr(i));
        }
        for (const char32_t vowel : std::u32string_view(lang == Lang::en && isVowel(word[i]) ? U"aeiou" : U"")) {
            if (vowel != word[i]) {
                std::u32string candidate = word;
                candidate[i] = vowel;
                kinds[wrongVowel].push_back(std::move(candidate));
            }
        }
    }
    for (auto& candidates : kinds) {
        std::erase_if(candidates, [&](const std::u32string& candidate) { return !known(candidate); });
        std::ranges::sort(candidates);
        const auto [first, last] = std::ranges::unique(candidates);
        candidates.erase(first, last);
    }
    return kinds;
}

// The first of `ranked` that is one of `candidates`; empty when none is.
std::u32string firstOf(const std::vector<std::u32string>& ranked, const std::vector<std::u32string>& candidates)
{
    const auto pick = std::ranges::find_first_of(ranked, candidates);
    return pick != ranked.end() ? *pick : std::u32string();
}

// Whether a word is two known words run together ("alot", "infact"): its fix is not sure. The
// second has three letters at least, the first two or is "a" (Hunspell knows every single letter).
bool joinsTwoWords(Hunspell& hunspell, std::u32string_view word)
{
    for (std::size_t i = word.starts_with(U'a') ? 1 : 2; i + 3 <= word.size(); ++i) {
        if (hunspell.spell(toUtf8(word.substr(0, i))) && hunspell.spell(toUtf8(word.substr(i)))) {
            return true;
        }
    }
    return false;
}

char32_t withoutAccent(char32_t c)
{
    static constexpr std::pair<std::u32string_view, char32_t> groups[] = {{U"\u00e0\u00e1\u00e2\u00e3\u00e4", U'a'},
                                                                          {U"\u00e8\u00e9\u00ea\u00eb", U'e'},
                                                                          {U"\u00ec\u00ed\u00ee\u00ef", U'i'},
                                                                          {U"\u00f2\u00f3\u00f4\u00f5\u00f6", U'o'},
                                                                          {U"\u00f9\u00fa\u00fb\u00fc", U'u'},
                                                                          {U"\u00e7", U'c'},
                                                                          {U"\u00f1", U'n'}};
    for (const auto& [accents, base] : groups) {
        if (accents.find(c) != std::u32string_view::npos) {
            return base;
        }
    }
    return c;
}

// Whether a fix only takes accents away ("café" -> "cafe"): the accented word is left as written.
bool onlyDropsAccents(std::u32string_view word, std::u32string_view fix)
{
    return word.size() == fix.size() && word != fix &&
           std::ranges::equal(word, fix, [](char32_t a, char32_t b) { return withoutAccent(a) == b; });
}

// Whether a lower-case English word looks like one: it has a vowel, and the letters before its
// first vowel are a start English words have. Names of tools ("tmux", "npm", "nginx") do not.
bool looksEnglish(std::u32string_view word)
{
    static const std::set<std::u32string_view> starts = {
        U"bl",  U"br",  U"ch",  U"cl",  U"cr",  U"dr",  U"dw",  U"fl",  U"fr",  U"gh", U"gl", U"gn",
        U"gr",  U"kl",  U"kn",  U"kr",  U"ph",  U"pl",  U"pr",  U"ps",  U"rh",  U"sc", U"sh", U"sk",
        U"sl",  U"sm",  U"sn",  U"sp",  U"sq",  U"st",  U"sw",  U"th",  U"tr",  U"tw", U"wh", U"wr",
        U"chr", U"phr", U"sch", U"scr", U"shr", U"sph", U"spl", U"spr", U"str", U"thr"};
    const std::size_t vowel = word.find_first_of(U"aeiouy");
    return vowel != std::u32string_view::npos && (vowel <= 1 || starts.contains(word.substr(0, vowel)));
}

bool hasInnerCapital(std::u32string_view word)
{
    return std::any_of(word.begin() + 1, word.end(), isUpper);
}

} // namespace

Improver::Improver(const std::filesystem::path& dictionaryDirectory, GrammarChecker* grammar) : m_grammar(grammar)
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

    // English grammar (the worker's sure fixes), then spelling; every change is found in the text as
    // it came, and they are made last first so earlier offsets stay valid.
    // One budget for both: a long text takes no longer than it did before there was a grammar.
    const auto deadline = Clock::now() + spellingBudget;
    std::optional<GrammarFindings> grammar;
    if (lang == Lang::en && m_grammar != nullptr) {
        grammar = m_grammar->check(toUtf8(out), spellingBudget);
    }
    if (auto* dict = lang ? dictionary(*lang) : nullptr) {
        std::lock_guard lock(dict->mutex);
        const auto words = findWords(out);
        std::vector<GrammarFindings::Edit> changes;
        const auto overlaps = [](std::size_t begin, std::size_t end, const auto& other) {
            return begin < other.end && other.begin < end;
        };
        for (auto& edit : grammar ? grammar->edits : std::vector<GrammarFindings::Edit>{}) {
            const bool onCode = std::ranges::any_of(
                words, [&](const Word& word) { return word.isProtected && overlaps(edit.begin, edit.end, word); });
            if (!onCode &&
                std::ranges::none_of(changes, [&](const auto& c) { return overlaps(edit.begin, edit.end, c); })) {
                changes.push_back(std::move(edit));
            }
        }
        for (const Word& word : words) {
            const std::u32string_view original = std::u32string_view(out).substr(word.begin, word.end - word.begin);
            if (word.isProtected || original.size() < 3 || hasInnerCapital(original) ||
                (isUpper(original.front()) && sentenceStart(out, word.begin) < 0) ||
                std::ranges::any_of(changes, [&](const auto& c) { return overlaps(word.begin, word.end, c); })) {
                continue;
            }
            // Where the worker checked the text, only the words Harper's dictionary lacks.
            const bool checked = grammar && word.begin < grammar->checkedEnd;
            const GrammarFindings::Word* flagged = nullptr;
            if (checked) {
                const auto found = std::ranges::find_if(
                    grammar->words, [&](const auto& w) { return w.begin == word.begin && w.end == word.end; });
                flagged = found != grammar->words.end() ? &*found : nullptr;
            }
            if ((checked && flagged == nullptr) || dict->hunspell->spell(toUtf8(original))) {
                continue;
            }
            const std::u32string lower = toLower(original);
            if (*lang == Lang::en &&
                (std::ranges::any_of(lower, [](char32_t c) { return c > 0x7F; }) || !looksEnglish(lower))) {
                continue;
            }
            if (*lang == Lang::en && !checked && joinsTwoWords(*dict->hunspell, lower)) {
                continue;
            }
            // The first kind of slip that explains known words decides: one word is taken, unless the
            // slip is a dropped letter or a changed vowel (tool names "sudo", "systemd"); those, and a
            // choice between several, are taken when Hunspell ranks one of them first. Where Harper
            // has suggestions, its best one that a slip explains, by kind (a doubled letter before a
            // dropped one: "realy" is "really", not "relay").
            const auto slips = commonSlips(*dict->hunspell, lower, *lang);
            const auto first = std::ranges::find_if(slips, [](const auto& kind) { return !kind.empty(); });
            const auto& candidates = first != slips.end() ? *first : slips.back();
            const bool sure = candidates.size() == 1 && first - slips.begin() < extraLetter;
            std::u32string best;
            if (checked) {
                std::vector<std::u32string> ranked;
                for (const auto& suggestion : flagged->suggestions) {
                    if (std::ranges::none_of(suggestion, isSpace)) { // "a dress" for "adress" is no spelling
                        ranked.push_back(toLower(suggestion));
                    }
                }
                for (auto kind = slips.begin(); kind != slips.end() && best.empty(); ++kind) {
                    best = firstOf(ranked, *kind);
                }
                if (best.empty() && ranked.empty() && sure) {
                    best = candidates.front();
                }
            } else if (sure || (*lang != Lang::en && candidates.size() == 1)) {
                best = candidates.front();
            } else if (Clock::now() <= deadline) {
                std::vector<std::u32string> ranked;
                for (const auto& suggestion : dict->hunspell->suggest(toUtf8(original))) {
                    ranked.push_back(toLower(fromUtf8(suggestion)));
                }
                if (*lang == Lang::en) {
                    best = firstOf(ranked, candidates);
                } else if (!ranked.empty() && std::ranges::none_of(ranked.front(), isSpace) &&
                           withinOneEdit(lower, ranked.front())) {
                    best = ranked.front();
                }
            }
            if (best.empty()) {
                continue;
            }
            if (onlyDropsAccents(lower, toLower(best))) {
                continue;
            }
            if (isUpper(original.front())) {
                best.front() = toUpper(best.front());
            }
            changes.push_back({word.begin, word.end, std::move(best)});
        }
        std::ranges::sort(changes, std::greater{}, &GrammarFindings::Edit::begin);
        for (const auto& change : changes) {
            out.replace(change.begin, change.end - change.begin, change.replacement);
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
