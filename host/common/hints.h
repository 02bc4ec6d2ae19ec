// Hints: a line that goes with a failure and names the key, section, file or command that fixes
// it. The plug-in's own text stays as it is; the hint is shown beside it.
//
// hintFor is a pure function of the failure and of facts about its surroundings, so that every
// front end (the commands, the gateway's status page and error answers) gives the same advice;
// gatherHintFacts collects those facts from the INI file, the file system and, when the plug-in
// could not reach its web service, from a short connection attempt of its own, since the plug-in's
// text carries no reason.
//
// Plain functions without shared state; safe from any thread. Relative local paths are looked up
// against the working directory, as the plug-in (run in the INI file's directory) does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "channelList.h"

namespace host {

enum class Operation { Init, Channel, MainPage };

struct Failure {
    Operation operation = Operation::Channel;
    int32_t status = 1;
    std::string message;  // the plug-in's text, as it gave it
    std::string channel;  // the channel asked for (Operation::Channel)
};

struct HintFacts {
    std::string configPath;  // the INI file, absolute
    bool hostNameSet = false;
    std::vector<std::string> channels;  // configured channel names, in file order
    bool sectionExists = false;         // the channel asked for has a section of its own
    // The address the plug-in could not use: the URL its text names, or for a failure without one
    // the URL the INI file forms for the channel.
    std::string url;
    // Where that URL comes from: "ChannelUrl in [lounge]", "GetLoungeLatestUpdatePeriodUrl in
    // [Config]"; empty when no key forms it. `keyEmpty` when that key has no value.
    std::string urlKey;
    bool keyEmpty = false;
    bool local = false;        // the URL names a local file
    std::string localProblem;  // for a local file: what is wrong with it, empty when nothing
    bool probed = false;       // a connection to the URL's host was tried
    bool reached = false;
    std::string reachReason;  // the system's reason when it was not reached
};

// Connects to the host of an http or https URL; returns the reason when it cannot, empty when it
// can. The default tries for kProbeMilliseconds.
using ReachProbe = std::function<std::string(const std::string& url)>;
constexpr std::uint32_t kProbeMilliseconds = 3000;
ReachProbe systemReachProbe();

// Facts for `failure` under the INI file `configPath` (absolute), read as it is now; a file that
// cannot be read leaves the file system and the probe to speak.
HintFacts gatherHintFacts(const Failure& failure, const std::string& configPath,
                          const ReachProbe& probe);

// The hint, one line without a line break; empty when the host has nothing to add.
std::string hintFor(const Failure& failure, const HintFacts& facts);

// hintFor with gatherHintFacts and systemReachProbe(). Never throws: empty when nothing can be
// said.
std::string hintFromFile(const Failure& failure, const std::string& configPath);

// What `intervals` prints needs saying when it is not the web service's answer: without HostName
// (or without an interval key) the plug-in reports its defaults. Empty when nothing needs saying.
std::string intervalsNote(const std::string& configPath);

// For `channels`, given the file's `channels`: a configuration without channels, or without
// HostName, can serve none.
std::string channelsNote(const std::string& configPath, const std::vector<ChannelEntry>& channels);

}  // namespace host
