// Expressions in the property declarations: numbers, names of parameters and of the run
// (rate, vector), + - * / ^, comparisons and a few functions; errors name the expression and
// the character where it went wrong.
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

#include "properties.h"

namespace tilde::vd {

namespace {

struct Parser {
    const std::string &s;
    const std::map<std::string, double> &vars;
    std::size_t i = 0;
    [[noreturn]] void bad(const std::string &why) const {
        throw std::runtime_error("expression '" + s + "': " + why + " at character " + std::to_string(i + 1));
    }
    void space() {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    }
    bool eat(const char *tok) {
        space();
        std::size_t n = std::strlen(tok);
        if (s.compare(i, n, tok) != 0) return false;
        i += n;
        return true;
    }
    double expr() {
        double a = sum();
        if (eat("<=")) return a <= sum();
        if (eat(">=")) return a >= sum();
        if (eat("==")) return a == sum();
        if (eat("!=")) return a != sum();
        if (eat("<")) return a < sum();
        if (eat(">")) return a > sum();
        return a;
    }
    double sum() {
        double a = product();
        for (;;) {
            if (eat("+")) a += product();
            else if (eat("-")) a -= product();
            else return a;
        }
    }
    double product() {
        double a = unary();
        for (;;) {
            if (eat("*")) a *= unary();
            else if (eat("/")) a /= unary();
            else return a;
        }
    }
    double unary() {
        if (eat("-")) return -unary();
        if (eat("+")) return unary();
        double a = primary();
        if (eat("^")) return std::pow(a, unary());
        return a;
    }
    double primary() {
        space();
        if (i >= s.size()) bad("a value is missing");
        if (eat("(")) {
            double a = expr();
            if (!eat(")")) bad("')' expected");
            return a;
        }
        if (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.') {
            const char *b = s.c_str() + i;
            char *e = nullptr;
            double v = std::strtod(b, &e);
            if (e == b) bad("a number expected");
            i += std::size_t(e - b);
            return v;
        }
        std::size_t from = i;
        while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' || s[i] == '~')) ++i;
        if (i == from) bad("unexpected '" + std::string(1, s[i]) + "'");
        std::string name = s.substr(from, i - from);
        if (eat("(")) {
            std::vector<double> a;
            if (!eat(")")) {
                do a.push_back(expr());
                while (eat(","));
                if (!eat(")")) bad("')' expected after the arguments of " + name);
            }
            return call(name, a);
        }
        auto it = vars.find(name);
        if (it == vars.end()) bad("unknown name '" + name + "'");
        return it->second;
    }
    double call(const std::string &f, const std::vector<double> &a) {
        using F1 = double (*)(double);
        static const std::map<std::string, F1> one = {{"abs", [](double x) { return std::fabs(x); }},   {"sqrt", [](double x) { return std::sqrt(x); }},
                                                      {"exp", [](double x) { return std::exp(x); }},    {"log", [](double x) { return std::log(x); }},
                                                      {"log10", [](double x) { return std::log10(x); }}, {"sin", [](double x) { return std::sin(x); }},
                                                      {"cos", [](double x) { return std::cos(x); }},    {"tan", [](double x) { return std::tan(x); }},
                                                      {"floor", [](double x) { return std::floor(x); }}, {"ceil", [](double x) { return std::ceil(x); }},
                                                      {"trunc", [](double x) { return std::trunc(x); }}};
        if (auto it = one.find(f); it != one.end()) {
            if (a.size() != 1) bad(f + " takes one argument");
            return it->second(a[0]);
        }
        if (f == "min" || f == "max") {
            if (a.empty()) bad(f + " takes arguments");
            double v = a[0];
            for (double x : a) v = f == "min" ? std::min(v, x) : std::max(v, x);
            return v;
        }
        if (f == "pow") {
            if (a.size() != 2) bad("pow takes two arguments");
            return std::pow(a[0], a[1]);
        }
        if (f == "if") {
            if (a.size() != 3) bad("if takes three arguments");
            return a[0] != 0 ? a[1] : a[2];
        }
        bad("unknown function '" + f + "'");
    }
};

}  // namespace

double evaluate(const std::string &expr, const std::map<std::string, double> &vars) {
    Parser p{expr, vars};
    double v = p.expr();
    p.space();
    if (p.i != expr.size()) p.bad("unexpected '" + expr.substr(p.i, 1) + "'");
    return v;
}

}  // namespace tilde::vd
