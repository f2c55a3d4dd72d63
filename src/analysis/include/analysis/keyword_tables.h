// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <string_view>

namespace mf::tables {

// Constant, lower case, matched as plain substrings of the normalised line, in
// this order. The fast matcher in classify.cpp is built from these same
// arrays, so an entry changed here changes both roads at once.

inline constexpr std::array<std::string_view, 10> errorMarkers = {
    "error:",
    "fatal error",
    "crashed",
    "uncaught exception",
    "assertion failed",
    "operation not permitted",
    "permission denied",
    "access denied",
    "failed with error",
    "terminating app due to uncaught exception",
};

inline constexpr std::array<std::string_view, 4> warningMarkers = {
    "warning:",
    "sandbox violation",
    "authorization denied",
    "not authorized",
};

inline constexpr std::array<std::string_view, 8> permissionMarkers = {
    "permission denied",
    "operation not permitted",
    "access denied",
    "sandbox violation",
    "deny(1)",
    "tcc deny",
    "not authorized",
    "authorization denied",
};

inline constexpr std::array<std::string_view, 5> crashMarkers = {
    "crashed",
    "crash report",
    "fatal error",
    "uncaught exception",
    "terminating app due to uncaught exception",
};

inline constexpr std::array<std::string_view, 7> fileMarkers = {
    "no such file",
    "file not found",
    "could not open file",
    "failed to open file",
    "failed to read file",
    "failed to write file",
    "directory not found",
};

// Whole words that make a line a warning when no error marker matched.
inline constexpr std::string_view errorWord = "error";
inline constexpr std::string_view faultWord = "fault";

// Sources that are never routine noise; compared exactly.
inline constexpr std::array<std::string_view, 7> exemptSources = {
    "SESSION", "PROCESS", "PATH", "LOG", "PERMISSION", "CRASH", "FILE",
};

// The log tool's banner and column-header lines.
inline constexpr std::array<std::string_view, 3> headerMarkers = {
    "filtering the log data using",
    "timestamp ty process[pid:tid]",
    "process[pid:tid]",
};

// Matched at the start of the normalised line only.
inline constexpr std::array<std::string_view, 7> privacyPrefixes = {
    "request : infoplist",
    "result : none",
    "query=<private>",
    "result=<private>",
    "pending=<private>",
    "request=<private>",
    "value=<private>",
};

inline constexpr std::array<std::string_view, 3> preferenceMarkers = {
    "loading preferences from user",
    "cfprefsd",
    "corefoundation) loading preferences",
};

inline constexpr std::array<std::string_view, 31> subsystemMarkers = {
    "[com.apple.xpc.transaction",
    "processinfo.suddentermination",
    "transaction created",
    "transaction released",
    "com.apple.appleevents",
    "_aecopysandboxstatefortoken",
    "copyentitlementandsandboxstatus",
    "insandbox=",
    "com.apple.corespotlight",
    "csindexerrordomain",
    "failed to request donation",
    "com.apple.biome",
    "biomecascade",
    "com.apple.launchservices",
    "com.apple.coreservices",
    "com.apple.coreservicesstore",
    "com.apple.runningboard",
    "com.apple.frontboard",
    "com.apple.cfpreferences",
    "corespotlight",
    "launchservices",
    "coreservicesstore",
    "runningboard",
    "frontboard",
    "cfpreferences",
    "indexsearchableitems",
    "index batch",
    "client database updated",
    "creating csstore",
    "checked csstore",
    "ls database",
};

// System subsystem prefixes and library tags.
inline constexpr std::array<std::string_view, 8> frameworkMarkers = {
    "[com.apple.",
    " com.apple.",
    "(corefoundation)",
    "(foundation)",
    "(appkit)",
    "(metal)",
    "(tcc)",
    "(libsystem_",
};

}  // namespace mf::tables
