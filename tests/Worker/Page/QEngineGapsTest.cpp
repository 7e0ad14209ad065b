// Which style texts and script errors show what the WebKit engine lacks.

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include "Page/QEngineGaps.h"

namespace {

TEST(QEngineGaps, TheCssTheEngineDropsIsFoundInStyleTexts) {
    const std::vector<std::pair<const char*, QStringList>> table = {
        {".a { display: grid }", {"CSS grid"}},
        {".a{display:inline-grid;}", {"CSS grid"}},
        {"DISPLAY : Grid", {"CSS grid"}},
        {"display: gridlike", {}},
        {"grid-template-columns: 1fr 1fr", {}},
        {"display:flex; gap:4px", {"CSS gap"}},
        {".a{row-gap: 1px}", {"CSS gap"}},
        {"grid-gap: 2px; display: grid", {"CSS grid", "CSS gap"}},
        {"gap: 1em", {"CSS gap"}},
        {"column-gap: 2em", {}},
        {"--gap: 3px; margin: var(--gap)", {}},
        {"#a { aspect-ratio: 16 / 9 }", {"CSS aspect-ratio"}},
        {":is(h1, h2) b, a:where(.x), li:has(> img) {}", {"CSS :is/:where/:has"}},
        {"width: clamp(1rem, 2vw, 3rem)", {"CSS clamp/min/max"}},
        {"@media (min-width: 10px) and (max-width: 20px) { a { min-height: 1px } }", {}},
        {"width: min(10px, 5vw)", {"CSS clamp/min/max"}},
        {"position: absolute; inset: 0", {"CSS inset"}},
        {"box-shadow: inset 0 1px red", {}},
        {"", {}},
    };
    for (const auto& row : table) {
        EXPECT_EQ(row.second, QEngineGaps::InStyle(QString::fromUtf8(row.first))) << row.first;
    }
}

TEST(QEngineGaps, ScriptErrorsAreToldApartByWhatTheyShow) {
    typedef QEngineGaps::ScriptError Kind;
    const std::vector<std::pair<const char*, Kind>> table = {
        {"SyntaxError: Unexpected token '?'", Kind::Syntax},
        {"SyntaxError: Unexpected token '.'", Kind::Syntax},
        {"SyntaxError: Invalid character: '#'", Kind::Syntax},
        {"SyntaxError: No identifiers allowed directly after numeric literal", Kind::Syntax},
        {"SyntaxError: Unexpected keyword 'import'", Kind::Syntax},
        {"SyntaxError: Unexpected token '='. Expected an opening '(' before a method's parameter list.", Kind::Syntax},
        {"SyntaxError: Unexpected token '<'", Kind::BrokenText},
        {"SyntaxError: Unexpected token '&'", Kind::BrokenText},
        {"SyntaxError: Unexpected token ';'. Expected ')' to end a 'if' condition.", Kind::BrokenText},
        {"SyntaxError: Unexpected token '='", Kind::BrokenText},
        {"SyntaxError: Unexpected EOF", Kind::BrokenText},
        {"ReferenceError: Can't find variable: fetch", Kind::Api},
        {"ReferenceError: Can't find variable: IntersectionObserver", Kind::Api},
        {"ReferenceError: Can't find variable: jQuery", Kind::Other},
        {"ReferenceError: Can't find variable: fetcher", Kind::Other},
        {"TypeError: Object.entries is not a function. (In 'Object.entries({})', 'Object.entries' is undefined)",
         Kind::Api},
        {"TypeError: '5'.padStart is not a function. (In ''5'.padStart(3)', ''5'.padStart' is undefined)", Kind::Api},
        {"TypeError: host.attachShadow is not a function", Kind::Api},
        {"TypeError: $(\"#x\").carousel is not a function", Kind::Other},
        {"TypeError: undefined is not a function", Kind::Other},
        {"TypeError: null is not an object (evaluating 'a.b')", Kind::Other},
        {"Error: boom", Kind::Other},
    };
    for (const auto& row : table) {
        EXPECT_EQ(static_cast<int>(row.second), static_cast<int>(QEngineGaps::Classify(QString::fromUtf8(row.first))))
            << row.first;
    }
}

} // namespace
