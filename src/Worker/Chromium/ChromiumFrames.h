#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMFRAMES_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMFRAMES_H

#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "Chromium/DevToolsPipe.h"

// The child frames of one Chromium page, described as the WebKit worker
// describes them: each {"url", "title", "name", "geometry": [x, y, width,
// height], "html", "frames"}, its document read in a world of its own,
// away from the page's scripts. A frame of another site runs in a process
// of its own, which the page's session does not see: once Describe has
// asked for them, the browser attaches a session to each such frame, which
// reads it, and it is listed under its parent, after the parent's other
// children. The page hands this object the attach and detach events of
// its session (Take).
class ChromiumFrames {
public:
    // The frames of the page whose session and main frame (its target) are
    // these, through browser; the page owns both texts and may set them
    // after this is made, before it is used.
    ChromiumFrames(DevToolsPipe& browser, const std::string& session, const std::string& target);

    nlohmann::json Describe();

    // Keeps the session of a frame of another site attached (or forgets a
    // detached one); false for another target's event.
    bool Take(const std::string& method, const nlohmann::json& params);

private:
    // The frames under node of the frame tree of session in, described;
    // the session of each goes into sessions.
    nlohmann::json ChildFrames(const nlohmann::json& node, const std::string& in,
                               std::map<std::string, std::string>& sessions);
    // A frame of the tree of session in, its owner element in session
    // owner, described and marked with its id.
    nlohmann::json DescribeFrame(const nlohmann::json& frame, const std::string& in, const std::string& owner);
    // Reads a frame's title, HTML and place into described.
    void ReadFrame(const std::string& frameId, const std::string& in, const std::string& owner,
                   nlohmann::json& described);
    // Puts the frame of another site that runs in frameSession, with its
    // own children, under its parent among top's frames; false while the
    // parent is not there yet.
    bool Place(const std::string& frameId, const std::string& frameSession, nlohmann::json& top,
               std::map<std::string, std::string>& sessions);
    // The frame marked frameId under node, or null; and node without the
    // marks.
    static nlohmann::json* Marked(nlohmann::json& node, const std::string& frameId);
    static void Unmark(nlohmann::json& node);
    static constexpr const char* MarkKey = "frameId";

    DevToolsPipe& browser;
    const std::string& session;
    const std::string& target;
    // The sessions of the frames of other sites, by frame id.
    std::map<std::string, std::string> frameSessions;
};

#endif
