#include "Improver.h"
#include "Languages.h"
#include "TextTranslator.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace parlomatic::textservice {
namespace {

// One set of engines for the whole program: starting Apertium's pipelines and loading the
// dictionaries takes seconds.
class TextEnginesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        translator = std::make_unique<TextTranslator>("/usr/share/apertium/modes");
        improver = std::make_unique<Improver>("/usr/share/hunspell");
    }
    static void TearDownTestSuite()
    {
        translator.reset();
        improver.reset();
    }
    void SetUp() override
    {
        ASSERT_TRUE(translator->start()) << "Apertium's eng-spa and es-pt pairs must be installed";
        ASSERT_TRUE(improver->loaded()) << "hunspell-en-us, hunspell-es and hunspell-pt-br must be installed";
    }

    static std::string translate(std::string_view text, Lang source, Lang target)
    {
        auto result = translator->translate(text, source, target);
        EXPECT_TRUE(result.has_value());
        return result.value_or("<failed>");
    }

    static inline std::unique_ptr<TextTranslator> translator;
    static inline std::unique_ptr<Improver> improver;
};

TEST_F(TextEnginesTest, TranslatesBetweenTheThreeLanguagesAsApertiumDoes)
{
    const struct {
        Lang source;
        Lang target;
        std::string_view text;
        std::string_view expected;
    } cases[] = {
        {Lang::en, Lang::es, "The house is big and the garden is beautiful.",
         "La casa es grande y el jardín es bello."},
        {Lang::es, Lang::en, "La casa es grande y el jardín es bonito.",
         "The house is big and the garden is beautiful."},
        {Lang::en, Lang::pt, "The house is big and the garden is beautiful.", "A casa é grande e o jardim é belo."},
        {Lang::pt, Lang::en, "A casa é grande e o jardim é bonito.", "The house is big and the garden is beautiful."},
        {Lang::pt, Lang::pt, "  nada muda\n", "  nada muda\n"},
        {Lang::en, Lang::es, " \n\n", " \n\n"}, // nothing for the engine
        // Breaks, indentation and trailing blanks stay where they were.
        {Lang::en, Lang::es, "I like the red car.\n\n  We live in a small house.\t\nThank you!\n",
         "Me gusta el coche rojo.\n\n  Vivimos en una casa pequeña.\t\nGracias!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(translate(c.text, c.source, c.target), c.expected);
    }
}

TEST_F(TextEnginesTest, LongTextsAreCutBetweenSentencesOrCharacters)
{
    std::string sentences;
    std::string expected;
    while (sentences.size() < 5000) {
        sentences += "The house is big. ";
        expected += "La casa es grande. ";
    }
    sentences.pop_back();
    expected.pop_back();
    EXPECT_EQ(translate(sentences, Lang::en, Lang::es), expected);

    std::string unbroken; // no space to cut at, and characters of two bytes
    while (unbroken.size() < 5000) {
        unbroken += "ñ";
    }
    unbroken += "a";
    std::string joined;
    for (const std::string_view piece : splitText(unbroken, 2048)) {
        EXPECT_LE(piece.size(), 2048u);
        EXPECT_NE(static_cast<unsigned char>(piece.front()) & 0xC0, 0x80) << "cut inside a character";
        joined += piece;
    }
    EXPECT_EQ(joined, unbroken);
}

TEST_F(TextEnginesTest, ApertiumsReservedCharactersAndNulsDoNotBreakTheStream)
{
    const std::string tricky = "Pay 5$ to a@b for [draft] <one> {two} a/b \\ c^d.";
    const std::string out = translate(tricky, Lang::en, Lang::es);
    for (const char c : std::string_view("$@[]<>{}/\\^")) {
        EXPECT_NE(out.find(c), std::string::npos) << c << " in " << out;
    }
    EXPECT_EQ(translate(std::string("The house\0 is big.", 18), Lang::en, Lang::es), "La casa es grande.");
    EXPECT_EQ(translate("The house is big.", Lang::en, Lang::es), "La casa es grande.");
}

TEST_F(TextEnginesTest, APipelineWhoseProgramDiedIsStartedAgain)
{
    for (const int pid : translator->processIds()) {
        kill(pid, SIGKILL);
    }
    // The request that meets the dead pipeline may fail; the next one runs on fresh programs.
    (void)translator->translate("The house is big.", Lang::en, Lang::es);
    EXPECT_EQ(translate("The house is big.", Lang::en, Lang::es), "La casa es grande.");
}

TEST_F(TextEnginesTest, DetectsTheSourceLanguage)
{
    EXPECT_EQ(detectLanguage("The house is big and the garden is beautiful."), Lang::en);
    EXPECT_EQ(detectLanguage("La casa es grande y el jardín es bonito, pero la cocina es pequeña."), Lang::es);
    EXPECT_EQ(detectLanguage("A casa é grande e o jardim é bonito, mas a cozinha é pequena."), Lang::pt);
    EXPECT_EQ(detectLanguage("12345 !!!"), std::nullopt);
    EXPECT_EQ(parseLanguage("pt_BR"), Lang::pt);
    EXPECT_EQ(parseLanguage("ES-mx"), Lang::es);
    EXPECT_EQ(parseLanguage("fr"), std::nullopt);
}

TEST_F(TextEnginesTest, ImprovesWhatItIsSureOfAndNothingElse)
{
    const struct {
        std::optional<Lang> lang;
        std::string_view text;
        std::string_view expected;
    } cases[] = {
        {Lang::en, "i recieve the leter tomorow at the libary .", "I receive the letter tomorrow at the library."},
        {Lang::en, "It works.  i'm sure ; we agree !", "It works. I'm sure; we agree!"},
        {Lang::es, "la cancion es muy bonita.  el niño canta .", "La canción es muy bonita. El niño canta."},
        {Lang::pt, "eu nao sei se voce vem.", "Eu não sei se você vem."},
        // Names, acronyms, addresses, numbers, abbreviations and fragments stay as they are.
        {Lang::en, "Zorblax met NASA at https://example.com/teh on 3.5.2024, e.g. in Lisbon",
         "Zorblax met NASA at https://example.com/teh on 3.5.2024, e.g. in Lisbon"},
        {Lang::en, "We met Dr. smith at 5 p.m. today.", "We met Dr. smith at 5 p.m. today."},
        {Lang::en, "the red car", "the red car"},
        {Lang::en, "  first line\n\nsecond  line", "  first line\n\nsecond line"},
        {std::nullopt, "one  two . three", "one two. Three"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(improver->improve(c.text, c.lang), c.expected);
    }
    EXPECT_EQ(improver->improve("i recieve the leter tomorow ."), "I receive the letter tomorrow.");
}

} // namespace
} // namespace parlomatic::textservice
