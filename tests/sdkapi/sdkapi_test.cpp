// The host API as externals built against the SDK's headers use it, through fixtures written
// in C: attributes an object adds at run time, getNAME queries answered out of the dumpout
// outlet, attributes of methods, and calls deferred for an object that is freed first or proxies
// it never freed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tildehost.h"
#include "tildesdk.h"

namespace {

struct SdkApi : ::testing::Test {
    void SetUp() override { tk::set_search_paths({TILDEKIT_SDKAPI_FIXTURE_DIR}); }
};

std::string value(const tk::Box *b, const std::string &name) {
    auto v = tk::attribute_value(b, name);
    return v ? tk::atoms_text(*v) : "<none>";
}

// The last message out of an outlet, as "selector atoms...".
std::string last_message(const tk::Box *b, int outlet) {
    for (auto it = b->events().rbegin(); it != b->events().rend(); ++it)
        if (it->outlet == outlet && it->kind == tk::Event::Message) return it->selector + " " + tk::atoms_text(it->atoms);
    return "<none>";
}

double last_float(const tk::Box *b) {
    for (auto it = b->events().rbegin(); it != b->events().rend(); ++it)
        if (it->outlet == 0 && it->kind == tk::Event::Float) return it->value;
    return -1;
}

constexpr int dumpout = 1;  // made first, so the rightmost of two

TEST_F(SdkApi, AttributesAnObjectAddsTakeArgumentsMessagesAndQueries) {
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("instattr extra @level 0.5 @tag loud @mode 2");
    ASSERT_TRUE(b);
    auto names = tk::attribute_names(b);
    EXPECT_EQ(names, (std::vector<std::string>{"mode", "level", "tag", "steps"}));
    EXPECT_EQ(value(b, "level"), "0.5");
    EXPECT_EQ(value(b, "tag"), "loud");
    EXPECT_EQ(value(b, "mode"), "2");
    EXPECT_EQ(value(b, "steps"), "7");  // the value its format letters gave
    p.send_text(b, 0, "steps 12");
    p.send_text(b, 0, "getsteps");
    EXPECT_EQ(last_message(b, dumpout), "steps 12");

    p.send_text(b, 0, "level 0.75");  // an offset into the instance: the object sees it
    p.send(b, 0, "bang", {});
    EXPECT_EQ(last_float(b), 0.75);
    p.send_text(b, 0, "tag soft");  // a value the attribute keeps itself
    EXPECT_EQ(value(b, "tag"), "soft");
    p.send_text(b, 0, "level 3");  // an int to a float64 attribute
    EXPECT_EQ(value(b, "level"), "3.");

    // queries answer out of the dumpout outlet, for instance and class attributes alike
    p.send_text(b, 0, "getlevel");
    EXPECT_EQ(last_message(b, dumpout), "level 3.");
    p.send_text(b, 0, "gettag");
    EXPECT_EQ(last_message(b, dumpout), "tag soft");
    p.send_text(b, 0, "getmode");
    EXPECT_EQ(last_message(b, dumpout), "mode 2");
    p.send_text(b, 0, "mode 9");  // the class's clip filter
    p.send_text(b, 0, "getmode");
    EXPECT_EQ(last_message(b, dumpout), "mode 3");
    // the C accessors and object_obex_dumpout reach the same values
    p.send_text(b, 0, "report");
    EXPECT_EQ(last_message(b, dumpout), "report 3. soft 3");
    p.send_text(b, 0, "settag quiet");
    EXPECT_EQ(value(b, "tag"), "quiet");
}

TEST_F(SdkApi, WrongValuesForAddedAttributesChangeNothingAndSayWhy) {
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("instattr extra @level 0.5");
    ASSERT_TRUE(b);
    struct Case {
        const char *message, *attr, *why;
    } cases[] = {
        {"level foo", "level", "takes a number"}, {"level 1 2", "level", "takes one value"}, {"level", "level", "needs a value"},
        {"tag 3", "tag", "takes a symbol"},       {"tag a b", "tag", "takes one value"},   {"level nan", "level", "takes a number"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        tk::ConsoleCapture cap;
        p.send_text(b, 0, c.message);
        auto errors = cap.texts(tk::ConsoleLine::Error);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("attribute '" + std::string(c.attr) + "'"), std::string::npos) << errors[0];
        EXPECT_NE(errors[0].find(c.why), std::string::npos) << errors[0];
        EXPECT_EQ(value(b, "level"), "0.5");
        EXPECT_EQ(value(b, "tag"), "none");
    }
    // an attribute name no object has added, at creation: named, ignored
    tk::ConsoleCapture cap;
    tk::Box *c = p.create("instattr @level 0.5");
    ASSERT_TRUE(c);
    EXPECT_TRUE(cap.contains("no attribute named 'level'"));
}

TEST_F(SdkApi, AnObjectWithoutTheAddedAttributeDoesNotUnderstandIt) {
    tk::Patch p(48000, 64);
    tk::Box *with = p.create("instattr extra");
    tk::Box *without = p.create("instattr");
    ASSERT_TRUE(with && without);
    EXPECT_EQ(tk::attribute_names(without), (std::vector<std::string>{"mode"}));
    tk::ConsoleCapture cap;
    p.send_text(without, 0, "level 0.9");
    p.send_text(without, 0, "getlevel");
    p.send_text(without, 0, "getnosuch");
    auto errors = cap.texts(tk::ConsoleLine::Error);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_NE(errors[0].find("doesn't understand 'level'"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("doesn't understand 'getlevel'"), std::string::npos) << errors[1];
    EXPECT_NE(errors[2].find("doesn't understand 'getnosuch'"), std::string::npos) << errors[2];
    EXPECT_EQ(last_message(without, dumpout), "<none>");
    p.send(without, 0, "bang", {});
    EXPECT_EQ(last_float(without), 0.25);  // its own level untouched
    EXPECT_EQ(value(with, "level"), "0.25");
}

TEST_F(SdkApi, ADeletedAttributeIsGoneAndCanBeAddedAgainOnce) {
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("instattr extra @level 0.5");
    ASSERT_TRUE(b);
    p.send_text(b, 0, "drop");
    EXPECT_EQ(value(b, "level"), "<none>");
    {
        tk::ConsoleCapture cap;
        p.send_text(b, 0, "level 0.125");
        p.send_text(b, 0, "drop");
        auto errors = cap.texts(tk::ConsoleLine::Error);
        ASSERT_EQ(errors.size(), 2u);
        EXPECT_NE(errors[0].find("doesn't understand 'level'"), std::string::npos) << errors[0];
        EXPECT_NE(errors[1].find("no level to drop"), std::string::npos) << errors[1];
    }
    p.send(b, 0, "bang", {});
    EXPECT_EQ(last_float(b), 0.5);
    p.send_text(b, 0, "readd");
    p.send_text(b, 0, "level 0.125");
    EXPECT_EQ(value(b, "level"), "0.125");
    tk::ConsoleCapture cap;
    p.send_text(b, 0, "readd");
    EXPECT_TRUE(cap.contains("has an attribute named 'level' already"));
    EXPECT_EQ(value(b, "level"), "0.125");
}

TEST_F(SdkApi, AQueryWithoutADumpoutOutletIsPostedNamingTheObject) {
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("instattr quiet extra @level 0.5");
    ASSERT_TRUE(b);
    tk::ConsoleCapture cap;
    p.send_text(b, 0, "getlevel");
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_EQ(cap.lines()[0].object, "instattr");
    EXPECT_NE(cap.lines()[0].text.find("level 0.5"), std::string::npos) << cap.lines()[0].text;
    EXPECT_TRUE(b->events().empty());
}

TEST_F(SdkApi, AnObjectAtTheAddressOfAFreedOneDoesNotInheritItsAttributes) {
    // the allocator hands freed blocks out again: what the first object added must go with it
    int reused = 0;
    for (int i = 0; i < 20; ++i) {
        tk::Patch p(48000, 64);
        tk::Box *a = p.create("instattr extra @level 0.5");
        void *where = a->object();
        p.free(a);
        tk::Box *b = p.create("instattr");
        reused += b->object() == where;
        SCOPED_TRACE(b->object() == where ? "same address" : "another address");
        EXPECT_EQ(tk::attribute_names(b), (std::vector<std::string>{"mode"}));
        tk::ConsoleCapture cap;
        p.send_text(b, 0, "level 9");  // would write into the object at the old offset
        p.send_text(b, 0, "getlevel");
        EXPECT_EQ(cap.texts(tk::ConsoleLine::Error).size(), 2u);
        p.send(b, 0, "bang", {});
        EXPECT_EQ(last_float(b), 0.25);
    }
    EXPECT_GT(reused, 0) << "no instance got a freed one's block: the case was not exercised";
}

TEST_F(SdkApi, MethodsCarryTheAttributesTheirClassGaveThem) {
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("instattr");
    ASSERT_TRUE(b);
    auto drop = tk::method_attributes(b, "drop");
    ASSERT_EQ(drop.size(), 1u);
    EXPECT_EQ(drop[0].first, "undocumented");
    EXPECT_EQ(tk::atoms_text(drop[0].second), "1");
    auto report = tk::method_attributes(b, "report");
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].first, "introduced");
    EXPECT_EQ(tk::atoms_text(report[0].second), "1.2.3");
    EXPECT_TRUE(tk::method_attributes(b, "bang").empty());
    EXPECT_TRUE(tk::method_attributes(b, "nosuchmethod").empty());  // the macro finds no method: nothing added
    EXPECT_TRUE(tk::method_attributes(b, "level").empty());
}

TEST_F(SdkApi, DeferredCallsRunInOrderForLiveObjects) {
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("deferfree");
    ASSERT_TRUE(b);
    tk::ConsoleCapture cap;
    p.send_text(b, 0, "twice");
    p.send_text(b, 0, "later 7");
    EXPECT_TRUE(cap.lines().empty());  // not before the scheduler runs
    p.advance(1);
    auto posts = cap.texts();
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_NE(posts[0].find("deferred first 1 (canary 5eed)"), std::string::npos) << posts[0];
    EXPECT_NE(posts[1].find("deferred second 2"), std::string::npos) << posts[1];
    EXPECT_NE(posts[2].find("deferred later 7"), std::string::npos) << posts[2];
}

TEST_F(SdkApi, CallsDeferredForAFreedObjectAreCancelled) {
    const auto before = tk::memory_stats();
    {
        tk::Patch p(48000, 64);
        tk::Box *keep = p.create("deferfree");
        for (int i = 0; i < 20; ++i) {
            tk::Box *b = p.create("deferfree");
            ASSERT_TRUE(b);
            p.send_text(b, 0, "later 1");
            p.send_text(b, 0, "twice");
            p.send_text(keep, 0, "later " + std::to_string(100 + i));
            p.free(b);  // its calls are pending
            tk::Box *next = p.create("deferfree");  // often at the same address
            tk::ConsoleCapture cap;
            p.advance(1);
            auto posts = cap.texts();
            ASSERT_EQ(posts.size(), 1u) << (posts.empty() ? "" : posts[0]);
            EXPECT_NE(posts[0].find("deferred later " + std::to_string(100 + i) + " (canary 5eed)"), std::string::npos) << posts[0];
            p.free(next);
        }
        // a patch that goes with calls still pending
        tk::ConsoleCapture cap;
        p.send_text(keep, 0, "later 5");
    }
    tk::Patch q(48000, 64);
    tk::ConsoleCapture cap;
    tk::Box *b = q.create("deferfree");
    q.send_text(b, 0, "later 6");
    q.advance(1);
    ASSERT_EQ(cap.texts().size(), 1u);
    EXPECT_NE(cap.texts()[0].find("deferred later 6"), std::string::npos);
    q.free(b);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
}

TEST_F(SdkApi, AProxyItsOwnerNeverFreedGoesWithTheOwner) {
    int reused = 0;
    for (int i = 0; i < 20; ++i) {
        tk::Patch p(48000, 64);
        tk::Box *a = p.create("deferfree");
        p.send_text(a, 0, "proxy");
        {
            tk::ConsoleCapture cap;
            p.send_text(a, 1, "later 3");  // the proxy takes any message
            p.advance(1);
            ASSERT_EQ(cap.texts().size(), 1u);
            EXPECT_NE(cap.texts()[0].find("deferred later 3"), std::string::npos) << cap.texts()[0];
        }
        void *where = a->object();
        p.free(a);
        tk::Box *b = p.create("deferfree");
        reused += b->object() == where;
        EXPECT_THROW(p.send_text(b, 1, "later 4"), tk::Error);  // no inlet 1: not the old proxy's
    }
    EXPECT_GT(reused, 0) << "no instance got a freed one's block: the case was not exercised";
}

}  // namespace
