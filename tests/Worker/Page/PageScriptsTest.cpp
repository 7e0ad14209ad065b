// The two page scripts run in the engine itself, on pages built to show
// one rule each; their output strings are compared exactly.

#include <QApplication>
#include <QEventLoop>
#include <QWebFrame>
#include <QWebPage>
#include <gtest/gtest.h>

#include "Page/PageScripts.h"

namespace {

// A page of its own for each case, laid out at 800 × 600.
class LoadedPage {
public:
    explicit LoadedPage(const QString& html) {
        page.setViewportSize(QSize(800, 600));
        bool loaded = false;
        QEventLoop loop;
        QObject::connect(&page, &QWebPage::loadFinished, [&](bool) {
            loaded = true;
            loop.quit();
        });
        page.mainFrame()->setHtml(html);
        if (!loaded) {
            loop.exec();
        }
    }

    QVariant Run(const QByteArray& script) { return page.mainFrame()->evaluateJavaScript(QString::fromUtf8(script)); }
    QString Evaluate(const char* expression) { return Run(expression).toString(); }

private:
    QWebPage page;
};

std::string Serialized(const char* body) {
    LoadedPage page(QString::fromUtf8(body));
    const QVariant value = page.Run(PageScripts::BodySerializer());
    EXPECT_TRUE(value.isValid()) << body;
    return value.toString().toStdString();
}

TEST(BodySerializer, EscapesOnlyFourCharacters) {
    EXPECT_EQ("<body><p title=\"a&quot;b&lt;c&gt;d&amp;e'f\">1 &lt; 2 &amp;&amp; &quot;x&quot; &gt; 'y'</p></body>",
              Serialized("<body><p title='a\"b<c>d&amp;e&#39;f'>1 &lt; 2 &amp;&amp; \"x\" &gt; 'y'</p></body>"));
}

TEST(BodySerializer, EmptyElementsCloseThemselvesUnlessTheyNeedAnEndTag) {
    EXPECT_EQ("<body><br /><img src=\"x.png\" /><div></div><span></span><a></a><p>text</p></body>",
              Serialized("<body><br><img src='x.png'><div></div><span></span><a></a><p>text</p></body>"));
}

TEST(BodySerializer, EmptyParagraphsAndWhiteSpaceBetweenTagsGo) {
    EXPECT_EQ("<body><p>kept</p><ul><li>one</li><li>two</li></ul></body>",
              Serialized("<body>\n  <p>kept</p>\n  <p>   </p>\n  <ul>\n    <li>one</li>\n    <li>two</li>\n  </ul>\n</body>"));
}

TEST(BodySerializer, ScriptsNoscriptsStylesLinksAndCommentsLeaveNothing) {
    EXPECT_EQ("<body><p>a</p><p>b</p></body>",
              Serialized("<body><script>var secret = 1;</script><p>a</p><!-- note --><noscript>no script</noscript>"
                         "<style>p { color: red }</style><link rel='stylesheet' href='s.css'><p>b</p></body>"));
}

TEST(BodySerializer, TheTellarionElementIsLeftOut) {
    EXPECT_EQ("<body><p>shown</p></body>",
              Serialized("<body><div id='tellarion'><p>hidden</p></div><p>shown</p></body>"));
}

TEST(BodySerializer, NamesAreLowerCasedAndSpecifiedAttributesKeptInOrder) {
    EXPECT_EQ("<body><div class=\"c\" data-x=\"1\" id=\"d\"><input type=\"text\" value=\"v\" /></div></body>",
              Serialized("<BODY><DIV CLASS='c' DATA-X='1' ID='d'><INPUT TYPE='text' VALUE='v'></DIV></BODY>"));
}

TEST(BodySerializer, APageWithoutBodyGivesNoValue) {
    LoadedPage page("<body><p>x</p></body>");
    page.Evaluate("document.documentElement.removeChild(document.body); 'removed'");
    EXPECT_FALSE(page.Run(PageScripts::BodySerializer()).isValid());
}

TEST(BodySerializer, RemovesScriptsAndCommentsFromTheLivePage) {
    LoadedPage page("<body><script>var x = 1;</script><!-- c --><p>p</p></body>");
    page.Run(PageScripts::BodySerializer());
    EXPECT_EQ("0", page.Evaluate("String(document.getElementsByTagName('script').length)"));
    EXPECT_EQ("<p>p</p>", page.Evaluate("document.body.innerHTML"));
}

TEST(RegionAnnotator, WritesTopRightBottomLeftOnVisibleElements) {
    LoadedPage page(
        "<body style='margin:0'>"
        "<div id='box' style='position:absolute;left:10px;top:20px;width:30px;height:40px'></div>"
        "<div id='flat' style='position:absolute;left:0;top:0;width:0;height:0'></div>"
        "<span id='hidden' style='display:none'>x</span>"
        "<p id='text' style='margin:0;width:100px'>line</p></body>");
    page.Run(PageScripts::RegionAnnotator());
    EXPECT_EQ("20,40,60,10", page.Evaluate("document.getElementById('box').getAttribute('region')"));
    EXPECT_EQ("null", page.Evaluate("String(document.getElementById('flat').getAttribute('region'))"));
    EXPECT_EQ("null", page.Evaluate("String(document.getElementById('hidden').getAttribute('region'))"));
    EXPECT_EQ("0," + page.Evaluate("String(document.getElementById('text').offsetWidth + 0)").toStdString() + ","
                  + page.Evaluate("String(document.getElementById('text').offsetHeight)").toStdString() + ",0",
              page.Evaluate("document.getElementById('text').getAttribute('region')").toStdString());
}

TEST(RegionAnnotator, TheBodyAlwaysGetsItsSize) {
    LoadedPage page("<body style='margin:0'><p style='margin:0'>x</p></body>");
    page.Run(PageScripts::RegionAnnotator());
    EXPECT_EQ(page.Evaluate("'0,' + document.body.offsetWidth + ',' + document.body.offsetHeight + ',0'"),
              page.Evaluate("document.body.getAttribute('region')"));
    EXPECT_EQ("800", page.Evaluate("String(document.body.offsetWidth)"));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    PageScripts::Load();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
