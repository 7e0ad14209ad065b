// Which style texts show the CSS the WebKit engine lacks.

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include "Page/QEngineGaps.h"

namespace {

TEST(QEngineGaps, GridAndGapAreFoundWhereverAStyleTextUsesThem) {
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
        {"", {}},
    };
    for (const auto& row : table) {
        EXPECT_EQ(row.second, QEngineGaps::InStyle(QString::fromUtf8(row.first))) << row.first;
    }
}

} // namespace
