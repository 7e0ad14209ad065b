// What orvo-serve keeps of save_args and gives back for load_args.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serve/BadArgument.h"
#include "serve/SavedArguments.h"

namespace {

using Orvo::Serve::BadArgument;
using Orvo::Serve::RenderArguments;
using Orvo::Serve::SavedArguments;

const char* const AbcHash = "b87f4bf9b7b07f594430548b653b4998e4b40402";  // SHA1 of "\"abc\""

TEST(SavedArguments, SavedValuesAreNamedByTheHashOfTheirJsonText) {
    EXPECT_EQ(AbcHash, SavedArguments::Hash(nlohmann::json("abc")));
    EXPECT_EQ("fc0364f1a50dad8ceb6fa6bf35f546e56bc49a1b", SavedArguments::Hash(nlohmann::json{{"X-A", "1"}}));

    SavedArguments saved;
    RenderArguments::Texts texts = RenderArguments::FromJson(
        R"({"js_source": "abc", "headers": {"X-A": "1"}, "save_args": ["js_source", "headers", "absent"]})");
    EXPECT_EQ(std::string("js_source=") + AbcHash + ";headers=fc0364f1a50dad8ceb6fa6bf35f546e56bc49a1b",
              saved.Save(texts));
    RenderArguments::Texts commas{{"js_source", "abc"}, {"save_args", " js_source , "}};
    EXPECT_EQ(std::string("js_source=") + AbcHash, saved.Save(commas));
    EXPECT_EQ("", saved.Save(RenderArguments::Texts{{"js_source", "abc"}})) << "nothing asked to be saved";
}

TEST(SavedArguments, LoadedValuesTakeTheirArgumentsPlace) {
    SavedArguments saved;
    saved.Save(RenderArguments::FromJson(R"({"js_source": "abc", "headers": [["X-A", "1"]],
                                             "save_args": "js_source,headers"})"));
    RenderArguments::Texts byObject = RenderArguments::FromJson(
        std::string(R"({"url": "http://a/", "load_args": {"js_source": ")") + AbcHash + "\"}}");
    EXPECT_TRUE(saved.Load(byObject).empty());
    EXPECT_EQ("abc", byObject.at("js_source"));
    EXPECT_EQ(0u, byObject.count("load_args"));

    const std::string headersHash = SavedArguments::Hash(nlohmann::json::array({{"X-A", "1"}}));
    RenderArguments::Texts byText{{"load_args", "js_source=" + std::string(AbcHash) + "; headers=" + headersHash}};
    EXPECT_TRUE(saved.Load(byText).empty());
    EXPECT_EQ("abc", byText.at("js_source"));
    EXPECT_EQ(nlohmann::json::array({{"X-A", "1"}}), byText.typed.at("headers"));

    RenderArguments::Texts missing{{"load_args", "js_source=" + std::string(AbcHash) + ";wait=0123"}};
    EXPECT_EQ(std::vector<std::string>{"wait"}, saved.Load(missing));
    EXPECT_EQ(0u, missing.count("js_source")) << "nothing is loaded when something misses";

    RenderArguments::Texts bad{{"load_args", "js_source"}};
    EXPECT_THROW(saved.Load(bad), BadArgument);
    EXPECT_THROW(saved.Save(RenderArguments::FromJson(R"({"save_args": [1]})")), BadArgument);
}

// The least recently used value goes first once Capacity are kept; a load
// counts as a use.
TEST(SavedArguments, TheLeastRecentlyUsedValueGoesFirst) {
    SavedArguments saved;
    const auto save = [&saved](int k) {
        return saved.Save(RenderArguments::Texts{{"js_source", "v" + std::to_string(k)}, {"save_args", "js_source"}});
    };
    const std::string first = save(0);
    const std::string second = save(1);
    for (int k = 2; k < static_cast<int>(SavedArguments::Capacity); ++k) {
        save(k);
    }
    RenderArguments::Texts useFirst{{"load_args", first}};
    EXPECT_TRUE(saved.Load(useFirst).empty()) << "all still kept";
    save(static_cast<int>(SavedArguments::Capacity));
    RenderArguments::Texts again{{"load_args", first}};
    EXPECT_TRUE(saved.Load(again).empty()) << "used lately, so kept";
    RenderArguments::Texts evicted{{"load_args", second}};
    EXPECT_EQ(std::vector<std::string>{"js_source"}, saved.Load(evicted));
}

} // namespace
