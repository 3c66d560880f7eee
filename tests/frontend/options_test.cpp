// The reporter's option string and the name lists of suppressions and watched functions.
#include <gtest/gtest.h>

#include <algorithm>

#include "frontend/options.h"
#include "frontend/symbols.h"

using tavo::frontend::files_match;
using tavo::frontend::names_match;
using tavo::frontend::options_t;
using tavo::frontend::parse_options;

// The keys and forms that no end-to-end case sets (those run in the corpus, the report case and the
// symbolizer case): tab and space separators, double quotes, switches off; watching functions
// switches reentrancy on (the corpus's reentrant call) unless told otherwise.
TEST(Options, EveryKeyWithAnySeparatorAndQuotes) {
    options_t options;
    EXPECT_TRUE(parse_options(nullptr, options));
    EXPECT_FALSE(options.re);
    EXPECT_TRUE(parse_options("tsm=0:re=1, halt_on_error=1\tsymbolize=0 history=0 log_path=\"/tmp/a b\"", options));
    EXPECT_FALSE(options.tsm);
    EXPECT_TRUE(options.re);
    EXPECT_TRUE(options.halt_on_error);
    EXPECT_FALSE(options.symbolize);
    EXPECT_FALSE(options.history);
    EXPECT_STREQ(options.log_path, "/tmp/a b");
    options_t explicitly_off;
    EXPECT_TRUE(parse_options("re=0:watch=format", explicitly_off));
    EXPECT_FALSE(explicitly_off.re);
    EXPECT_STREQ(explicitly_off.watch, "format");
}

TEST(Options, EachBadEntryIsOneLineNamingTheValidKeysAndTheRestApplies) {
    options_t options;
    testing::internal::CaptureStderr();
    const bool valid = parse_options("exitcode=300:tsm=2 colour=1,novalue format=xml exitcode=9x re=1 log_path='open", options);
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(valid);
    for (const char* line : {"malformed value in 'exitcode=300'", "malformed value in 'tsm=2'", "unknown option 'colour'",
                             "no value for 'novalue'", "malformed value in 'format=xml'",
                             "malformed value in 'exitcode=9x'", "unterminated quote in 'log_path='open'"})
        EXPECT_NE(text.find(std::string("tavo: ") + line + " in TAVO_OPTIONS; valid options: tsm=0|1"),
                  std::string::npos)
            << line << "\n" << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7) << text;
    EXPECT_EQ(options.exit_code, 66);
    EXPECT_TRUE(options.tsm);
    EXPECT_TRUE(options.re);
    EXPECT_STREQ(options.log_path, "");
}

// Function names match whole or with parameters; files by trailing path components.
TEST(Options, NamesAndFilesMatch) {
    struct case_t {
        bool (*match)(const char*, const char*);
        const char* list;
        const char* name;
        bool expected;
    } const cases[] = {
        {names_match, "log,format_label", "format_label", true},     {names_match, "format_label", "format_label(int)", true},
        {names_match, "format", "format_label", false},             {names_match, "format_label", "format", false},
        {names_match, "", "format", false},                         {files_match, "counter.c", "/src/app/counter.c:12", true},
        {files_match, "app/counter.c", "/src/app/counter.c:12", true}, {files_match, "ounter.c", "/src/app/counter.c:12", false},
        {files_match, "counter.c:12", "/src/app/counter.c:12", false}, {files_match, "x.c,counter.c", "counter.c:1", true},
    };
    for (const case_t& c : cases) EXPECT_EQ(c.match(c.list, c.name), c.expected) << c.list << " " << c.name;
}

// Functions found by name in the symbol tables of the loaded modules.
extern "C" __attribute__((noinline, used)) int tavo_symbol_probe(int value) { return value * 3 + 1; }
namespace probe {
__attribute__((noinline, used)) int scaled(int value) { return value * 5 - 2; }
}  // namespace probe

TEST(Symbols, FunctionsAreFoundByPlainAndDemangledNames) {
    using tavo::frontend::code_range_t;
    code_range_t ranges[4] = {};
    ASSERT_EQ(tavo::frontend::find_functions("no_such_function_anywhere,tavo_symbol_probe", ranges, 4), 1u);
    EXPECT_EQ(ranges[0].base, reinterpret_cast<std::uintptr_t>(&tavo_symbol_probe));
    EXPECT_GT(ranges[0].length, 0u);
    ASSERT_EQ(tavo::frontend::find_functions("probe::scaled", ranges, 4), 1u);
    EXPECT_EQ(ranges[0].base, reinterpret_cast<std::uintptr_t>(&probe::scaled));
    EXPECT_EQ(tavo::frontend::find_functions("scaled", ranges, 4), 0u);
    EXPECT_EQ(tavo::frontend::find_functions("", ranges, 4), 0u);
    EXPECT_EQ(tavo_symbol_probe(1) + probe::scaled(1), 7);
}
