#include "SavedArguments.h"

#include <cstring>

#include <QByteArray>
#include <QCryptographicHash>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "BadArgument.h"

namespace Orvo {
namespace Serve {

namespace {

// An argument's value as it arrived: a JSON body's value that is not a
// string, else its text.
nlohmann::json ValueOf(const RenderArguments::Texts& texts, const std::string& name) {
    const auto typed = texts.typed.find(name);
    if (typed != texts.typed.end()) {
        return typed->second;
    }
    const auto text = texts.find(name);
    return text == texts.end() ? nlohmann::json() : nlohmann::json(text->second);
}

std::vector<std::string> Split(const std::string& text, const char* separators) {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, text, [separators](char c) { return std::strchr(separators, c) != nullptr; });
    std::vector<std::string> kept;
    for (std::string& part : parts) {
        boost::algorithm::trim(part);
        if (!part.empty()) {
            kept.push_back(part);
        }
    }
    return kept;
}

// load_args as name -> hash pairs, in order.
std::vector<std::pair<std::string, std::string>> Wanted(const RenderArguments::Texts& texts) {
    std::vector<std::pair<std::string, std::string>> wanted;
    const nlohmann::json load = ValueOf(texts, "load_args");
    if (load.is_object()) {
        for (const auto& item : load.items()) {
            if (!item.value().is_string()) {
                throw BadArgument("load_args", "load_args must map argument names to hashes");
            }
            wanted.emplace_back(item.key(), item.value().get<std::string>());
        }
    } else if (load.is_string()) {
        for (const std::string& pair : Split(load.get<std::string>(), ";")) {
            const std::size_t equals = pair.find('=');
            if (equals == std::string::npos) {
                throw BadArgument("load_args", "load_args must be name=hash pairs separated by ';'");
            }
            wanted.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
        }
    } else if (!load.is_null()) {
        throw BadArgument("load_args", "load_args must be an object or name=hash pairs separated by ';'");
    }
    return wanted;
}

} // namespace

std::string SavedArguments::Hash(const nlohmann::json& value) {
    const QByteArray text = QByteArray::fromStdString(value.dump());
    return QCryptographicHash::hash(text, QCryptographicHash::Sha1).toHex().toStdString();
}

std::vector<std::string> SavedArguments::Load(RenderArguments::Texts& texts) {
    const std::vector<std::pair<std::string, std::string>> wanted = Wanted(texts);
    std::vector<std::string> missing;
    for (const auto& entry : wanted) {
        if (byHash.count(entry.second) == 0) {
            missing.push_back(entry.first);
        }
    }
    if (!missing.empty()) {
        return missing;
    }
    for (const auto& entry : wanted) {
        const Entries::iterator found = byHash.at(entry.second);
        entries.splice(entries.begin(), entries, found);
        texts.Set(entry.first, found->second);
    }
    texts.Remove("load_args");
    return missing;
}

std::string SavedArguments::Save(const RenderArguments::Texts& texts) {
    const nlohmann::json save = ValueOf(texts, "save_args");
    std::vector<std::string> names;
    if (save.is_string()) {
        names = Split(save.get<std::string>(), ",");
    } else if (save.is_array()) {
        for (const nlohmann::json& name : save) {
            if (!name.is_string()) {
                throw BadArgument("save_args", "save_args must list argument names");
            }
            names.push_back(name.get<std::string>());
        }
    } else if (!save.is_null()) {
        throw BadArgument("save_args", "save_args must be a list of names or names separated by commas");
    }
    std::string header;
    for (const std::string& name : names) {
        const nlohmann::json value = ValueOf(texts, name);
        if (value.is_null()) {
            continue;
        }
        std::string hash;
        try {
            hash = Hash(value);
        } catch (const nlohmann::json::type_error&) {
            throw BadArgument(name, "the value of " + name + " is not UTF-8 text, so it cannot be saved");
        }
        Keep(hash, value);
        header += (header.empty() ? "" : ";") + name + "=" + hash;
    }
    return header;
}

void SavedArguments::Keep(const std::string& hash, const nlohmann::json& value) {
    const auto found = byHash.find(hash);
    if (found != byHash.end()) {
        entries.splice(entries.begin(), entries, found->second);
        return;
    }
    entries.emplace_front(hash, value);
    byHash[hash] = entries.begin();
    if (entries.size() > Capacity) {
        byHash.erase(entries.back().first);
        entries.pop_back();
    }
}

} // namespace Serve
} // namespace Orvo
