// The reporter's option string and the name lists of suppressions and watched functions.
#include <gtest/gtest.h>

#include "frontend/options.h"
#include "../unit/stderr_capture.h"

using tavo::frontend::files_match;
using tavo::frontend::names_match;
using tavo::frontend::options_t;
using tavo::frontend::parse_options;

TEST(Options, DefaultsCheckDataSharingAndExitWith66) {
    options_t options;
    EXPECT_TRUE(parse_options(nullptr, options));
    EXPECT_TRUE(options.tsm);
    EXPECT_FALSE(options.re);
    EXPECT_EQ(options.exit_code, 66);
    EXPECT_STREQ(options.symbolizer, "llvm-symbolizer");
}

TEST(Options, EveryKeyIsRead) {
    options_t options;
    EXPECT_TRUE(parse_options("tsm=0:re=1:halt_on_error=1:symbolize=0:exitcode=3:symbolizer=/x/y:suppress=a,b.c",
                              options));
    EXPECT_FALSE(options.tsm);
    EXPECT_TRUE(options.re);
    EXPECT_TRUE(options.halt_on_error);
    EXPECT_FALSE(options.symbolize);
    EXPECT_EQ(options.exit_code, 3);
    EXPECT_STREQ(options.symbolizer, "/x/y");
    EXPECT_STREQ(options.suppress, "a,b.c");
}

TEST(Options, WatchingFunctionsSwitchesReentrancyOnUnlessToldOtherwise) {
    options_t watching;
    EXPECT_TRUE(parse_options("watch=format", watching));
    EXPECT_TRUE(watching.re);
    EXPECT_STREQ(watching.watch, "format");
    options_t explicitly_off;
    EXPECT_TRUE(parse_options("re=0:watch=format", explicitly_off));
    EXPECT_FALSE(explicitly_off.re);
}

TEST(Options, MalformedEntriesAreReportedAndLeaveTheRestApplied) {
    options_t options;
    bool valid = true;
    const std::string text = test::captured_stderr(
        [&] { valid = parse_options("exitcode=300:tsm=2:colour=1:novalue:exitcode=9x:re=1", options); });
    EXPECT_FALSE(valid);
    EXPECT_NE(text.find("ignoring option 'exitcode=300'"), std::string::npos) << text;
    EXPECT_NE(text.find("ignoring option 'tsm=2'"), std::string::npos);
    EXPECT_NE(text.find("ignoring option 'colour=1'"), std::string::npos);
    EXPECT_NE(text.find("ignoring option 'novalue'"), std::string::npos);
    EXPECT_NE(text.find("ignoring option 'exitcode=9x'"), std::string::npos);
    EXPECT_EQ(options.exit_code, 66);
    EXPECT_TRUE(options.tsm);
    EXPECT_TRUE(options.re);
}

TEST(Options, FunctionNamesMatchWholeOrWithParameters) {
    EXPECT_TRUE(names_match("log,format_label", "format_label"));
    EXPECT_TRUE(names_match("format_label", "format_label(int)"));
    EXPECT_FALSE(names_match("format", "format_label"));
    EXPECT_FALSE(names_match("format_label", "format"));
    EXPECT_FALSE(names_match("", "format"));
}

TEST(Options, FilesMatchByTrailingPathComponents) {
    EXPECT_TRUE(files_match("counter.c", "/src/app/counter.c:12"));
    EXPECT_TRUE(files_match("app/counter.c", "/src/app/counter.c:12"));
    EXPECT_FALSE(files_match("ounter.c", "/src/app/counter.c:12"));
    EXPECT_FALSE(files_match("counter.c:12", "/src/app/counter.c:12"));
    EXPECT_TRUE(files_match("x.c,counter.c", "counter.c:1"));
}
