#include "Chromium/ChromiumFrames.h"

#include <cmath>

ChromiumFrames::ChromiumFrames(DevToolsPipe& browser, const std::string& session, const std::string& target)
    : browser(browser), session(session), target(target) {}

bool ChromiumFrames::Take(const std::string& method, const nlohmann::json& params) {
    const bool attached = method == "Target.attachedToTarget";
    const std::string attachedSession = params.value("sessionId", std::string());
    if (!attached) {
        for (auto frame = frameSessions.begin(); frame != frameSessions.end(); ++frame) {
            if (frame->second == attachedSession) {
                frameSessions.erase(frame);
                return true;
            }
        }
        return false;
    }
    const nlohmann::json info = params.value("targetInfo", nlohmann::json::object());
    if (info.value("type", std::string()) != "iframe") {
        return false;
    }
    frameSessions[info.value("targetId", std::string())] = attachedSession;
    return true;
}

// A frame of another site runs in a process of its own, which the page's
// session does not see: its session, attached for it, reads it, and it
// goes under its parent frame, after that frame's own children.
nlohmann::json ChromiumFrames::Describe() {
    browser.Call("Target.setAutoAttach", {{"autoAttach", true}, {"waitForDebuggerOnStart", false}, {"flatten", true}},
                 session);
    std::map<std::string, std::string> sessions;
    nlohmann::json top{{"frames", ChildFrames(browser.Call("Page.getFrameTree", nlohmann::json::object(), session).value("frameTree", nlohmann::json::object()),
                                              session, sessions)}};
    sessions[target] = session;
    std::map<std::string, std::string> waiting = frameSessions;
    for (bool placed = true; placed && !waiting.empty();) {
        placed = false;
        for (auto frame = waiting.begin(); frame != waiting.end();) {
            if (Place(frame->first, frame->second, top, sessions)) {
                placed = true;
                frame = waiting.erase(frame);
            } else {
                ++frame;
            }
        }
    }
    Unmark(top);
    return top["frames"];
}

bool ChromiumFrames::Place(const std::string& frameId, const std::string& frameSession, nlohmann::json& top,
                         std::map<std::string, std::string>& sessions) {
    nlohmann::json tree;
    try {
        tree = browser.Call("Page.getFrameTree", nlohmann::json::object(), frameSession).value("frameTree",
                                                                                             nlohmann::json::object());
    } catch (const DevToolsError&) {
        // A frame gone meanwhile is not described.
        return browser.Running();
    }
    const nlohmann::json frame = tree.value("frame", nlohmann::json::object());
    const std::string parent = frame.value("parentId", std::string());
    nlohmann::json* under = parent == target ? &top : Marked(top, parent);
    if (under == nullptr || sessions.count(parent) == 0) {
        return false;
    }
    nlohmann::json described = DescribeFrame(frame, frameSession, sessions[parent]);
    sessions[frameId] = frameSession;
    described["frames"] = ChildFrames(tree, frameSession, sessions);
    (*under)["frames"].push_back(std::move(described));
    return true;
}

nlohmann::json ChromiumFrames::ChildFrames(const nlohmann::json& node, const std::string& in,
                                         std::map<std::string, std::string>& sessions) {
    nlohmann::json frames = nlohmann::json::array();
    for (const nlohmann::json& child : node.value("childFrames", nlohmann::json::array())) {
        const nlohmann::json frame = child.value("frame", nlohmann::json::object());
        nlohmann::json described = DescribeFrame(frame, in, in);
        sessions[frame.value("id", std::string())] = in;
        described["frames"] = ChildFrames(child, in, sessions);
        frames.push_back(std::move(described));
    }
    return frames;
}

nlohmann::json ChromiumFrames::DescribeFrame(const nlohmann::json& frame, const std::string& in, const std::string& owner) {
    nlohmann::json described{{"url", frame.value("url", std::string()) + frame.value("urlFragment", std::string())},
                             {"title", ""},
                             {"name", frame.value("name", std::string())},
                             {"geometry", nlohmann::json::array({0, 0, 0, 0})},
                             {"html", ""},
                             {MarkKey, frame.value("id", std::string())}};
    try {
        ReadFrame(frame.value("id", std::string()), in, owner, described);
    } catch (const DevToolsError&) {
        if (!browser.Running()) {
            throw;
        }
    }
    return described;
}

nlohmann::json* ChromiumFrames::Marked(nlohmann::json& node, const std::string& frameId) {
    for (nlohmann::json& child : node["frames"]) {
        if (child.value(MarkKey, std::string()) == frameId) {
            return &child;
        }
        if (nlohmann::json* found = Marked(child, frameId)) {
            return found;
        }
    }
    return nullptr;
}

void ChromiumFrames::Unmark(nlohmann::json& node) {
    for (nlohmann::json& child : node["frames"]) {
        child.erase(MarkKey);
        Unmark(child);
    }
}

// The frame's document is read in a world of its own, away from the
// page's scripts, through the session it runs in; its place is its owner
// element's content box (inside its border, as WebKit places a frame), in
// the session of the frame that holds it.
void ChromiumFrames::ReadFrame(const std::string& frameId, const std::string& in, const std::string& owner,
                             nlohmann::json& described) {
    const nlohmann::json world =
        browser.Call("Page.createIsolatedWorld", {{"frameId", frameId}, {"worldName", "orvo"}}, in);
    const nlohmann::json read = browser.Call(
        "Runtime.evaluate",
        {{"expression", "[document.title, document.documentElement ? document.documentElement.outerHTML : '']"},
         {"contextId", world.at("executionContextId")},
         {"returnByValue", true}},
        in);
    const nlohmann::json texts = read.at("result").value("value", nlohmann::json::array());
    if (texts.size() == 2 && texts[0].is_string() && texts[1].is_string()) {
        described["title"] = texts[0];
        described["html"] = texts[1];
    }
    const nlohmann::json element = browser.Call("DOM.getFrameOwner", {{"frameId", frameId}}, owner);
    const nlohmann::json model =
        browser.Call("DOM.getBoxModel", {{"backendNodeId", element.at("backendNodeId")}}, owner).at("model");
    const nlohmann::json content = model.value("content", nlohmann::json::array());
    if (content.size() == 8) {
        // Whole pixels, as the WebKit engine gives them.
        const auto at = [&content](int k) { return content[k].get<double>(); };
        described["geometry"] = {std::lround(at(0)), std::lround(at(1)), std::lround(at(2) - at(0)),
                                 std::lround(at(5) - at(1))};
    }
}

