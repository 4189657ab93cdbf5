// The reference pages: one per external, well-formed XML, naming every method the class
// registers for messages, every inlet and outlet it has. Runs in both widths: the classes
// are loaded through the host.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const fs::path refpages = fs::path(TILDEKIT_SOURCE_DIR) / "docs" / "refpages";

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Checks that `xml` is well formed: one root, nested tags closed in order, quoted
// attributes, and entities that XML knows. Returns "" or what is wrong; `root` gets the
// root element's opening tag.
std::string well_formed(const std::string &xml, std::string &root)
{
    std::vector<std::string> open;
    int roots = 0;
    auto entities_ok = [](const std::string &text) {
        for (std::size_t at = text.find('&'); at != std::string::npos; at = text.find('&', at + 1)) {
            std::size_t semi = text.find(';', at);
            if (semi == std::string::npos)
                return false;
            std::string e = text.substr(at + 1, semi - at - 1);
            if (e != "amp" && e != "lt" && e != "gt" && e != "quot" && e != "apos" && (e.empty() || e[0] != '#'))
                return false;
        }
        return true;
    };
    std::size_t i = 0;
    while (i < xml.size()) {
        std::size_t lt = xml.find('<', i);
        std::string text = xml.substr(i, lt == std::string::npos ? std::string::npos : lt - i);
        if (!entities_ok(text) || text.find('>') != std::string::npos)
            return "bad character data near '" + text.substr(0, 40) + "'";
        if (open.empty() && text.find_first_not_of(" \t\r\n") != std::string::npos)
            return "text outside the root element";
        if (lt == std::string::npos)
            break;
        std::size_t gt = xml.find('>', lt);
        if (gt == std::string::npos)
            return "unclosed tag";
        std::string tag = xml.substr(lt + 1, gt - lt - 1);
        i = gt + 1;
        if (tag.rfind("?", 0) == 0 || tag.rfind("!--", 0) == 0)
            continue;
        bool closing = !tag.empty() && tag[0] == '/';
        bool empty = !tag.empty() && tag.back() == '/';
        std::string body = closing ? tag.substr(1) : empty ? tag.substr(0, tag.size() - 1) : tag;
        std::string name = body.substr(0, body.find_first_of(" \t\n"));
        if (name.empty())
            return "a tag without a name";
        // attributes: name="value" pairs with well-formed values
        std::string attrs = body.substr(name.size());
        std::size_t q = 0;
        while ((q = attrs.find('=', q)) != std::string::npos) {
            char quote = q + 1 < attrs.size() ? attrs[q + 1] : 0;
            if (quote != '"' && quote != '\'')
                return "unquoted attribute in <" + name + ">";
            std::size_t end = attrs.find(quote, q + 2);
            if (end == std::string::npos)
                return "unterminated attribute in <" + name + ">";
            std::string value = attrs.substr(q + 2, end - q - 2);
            if (value.find('<') != std::string::npos || !entities_ok(value))
                return "bad attribute value in <" + name + ">";
            q = end + 1;
        }
        if (closing) {
            if (open.empty() || open.back() != name)
                return "</" + name + "> closes " + (open.empty() ? std::string("nothing") : "<" + open.back() + ">");
            open.pop_back();
        } else {
            if (open.empty()) {
                if (++roots > 1)
                    return "more than one root element";
                root = body;
            }
            if (!empty)
                open.push_back(name);
        }
    }
    if (!open.empty())
        return "<" + open.back() + "> is never closed";
    return roots == 1 ? "" : "no root element";
}

TEST(RefpageChecker, CatchesWhatIsNotWellFormed)
{
    std::string root;
    EXPECT_EQ(well_formed("<a x=\"1\"><b/>t &amp; u</a>", root), "");
    EXPECT_EQ(root, "a x=\"1\"");
    EXPECT_NE(well_formed("<a><b></a></b>", root), "");
    EXPECT_NE(well_formed("<a>x & y</a>", root), "");
    EXPECT_NE(well_formed("<a x=1></a>", root), "");
    EXPECT_NE(well_formed("<a></a><b></b>", root), "");
    EXPECT_NE(well_formed("<a>", root), "");
}

const std::vector<std::string> externals = {
    "recur~", "fwdtap~", "backtap~", "cxrecur~", "cxfwdtap~", "cxbacktap~", "highcut~", "lowcut~", "bandres~", "sosect~", "sweepres~",
    "modalfilt~", "ladder~", "latchsig~", "slidevec~", "levelmeter~", "blocktick~", "cutroute", "tanrecip~", "stereosquash~",
    "noisedoor~", "brickwall~", "tribandsquash~", "peakguard~", "rangetamer~", "tonebands~", "thirdbands~", "headdelay~",
    "stereoplace~", "bowedstring~", "calibrator"};

class Refpage : public ::testing::TestWithParam<std::string> {};

TEST_P(Refpage, IsWellFormedAndComplete)
{
    const std::string name = GetParam();
    fs::path page = refpages / (name + ".maxref.xml");
    ASSERT_TRUE(fs::exists(page)) << page;
    std::string xml = slurp(page);
    std::string root;
    ASSERT_EQ(well_formed(xml, root), "") << page;
    EXPECT_EQ(root.rfind("c74object name=\"" + name + "\"", 0), 0u) << root;
    EXPECT_NE(root.find(std::string("module=\"") + (name.back() == '~' ? "msp" : "max") + "\""), std::string::npos) << root;
    for (const char *part : {"<digest>", "<description>", "<inletlist>", "<outletlist>", "<objarglist>", "<methodlist>", "<seealsolist>"})
        EXPECT_NE(xml.find(part), std::string::npos) << name << " lacks " << part;
    EXPECT_EQ(xml.find("<digest></digest>"), std::string::npos) << name << " has an empty digest";
    // pages are read by people who patch: nothing of how the object is built
    for (const char *word : {"perform", "dsp_add", "proxy", "routine", "x->", "A_FLOAT", "A_LONG", "A_GIMME", "sysmem", "deliverable"})
        EXPECT_EQ(xml.find(word), std::string::npos) << name << "'s page says '" << word << "'";

    if (!fs::exists(fs::path(TILDEKIT_MODULE_DIR) / (name + tk::module_extension())))
        GTEST_SKIP() << name << " is not built here; its page is checked for form only";
    tk::Patch patch(48000, 64);
    tk::Box *box = patch.create(name, {});
    ASSERT_NE(box, nullptr);
    for (const auto &m : box->cls().methods) {
        if (m.selector == "dsp64" || m.selector == "dsp" || m.selector == "assist" || m.selector == "inletinfo")
            continue;
        EXPECT_NE(xml.find("<method name=\"" + m.selector + "\">"), std::string::npos) << name << ": no entry for '" << m.selector << "'";
    }
    for (int k = 0; k < box->inlets(); ++k)
        EXPECT_NE(xml.find("<inlet id=\"" + std::to_string(k) + "\""), std::string::npos) << name << " inlet " << k;
    for (int k = 0; k < box->outlets(); ++k) {
        EXPECT_NE(xml.find("<outlet id=\"" + std::to_string(k) + "\""), std::string::npos) << name << " outlet " << k;
        auto text = box->assist(2, k);
        if (text && !text->empty() && text->find_first_of("&<>\"") == std::string::npos) {
            EXPECT_NE(xml.find(*text), std::string::npos) << name << " outlet " << k << " assist text";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, Refpage, ::testing::ValuesIn(externals), [](const auto &info) {
    std::string s = info.param;
    for (auto &c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return s;
});

}  // namespace
