// SPDX-License-Identifier: MIT
// The automatic replies' rules ("自動応答") and their file "AutoReply.ini" beside the other user
// files: one section per rule, [Rule1], [Rule2] ..., in list order, with the keys NAME, ENABLED,
// MATCHTYPE (HEX or TEXT), MATCH, REPLY, DELAY (ms) and TIMES (0: every time), and the switch of
// all rules, ON in [AutoReply]. Texts are CP932 and written inside double quotes, so that blanks
// at both ends survive; lines the program does not know are kept.
#pragma once

#include "ReplyMatcher.h"

#include <string>
#include <vector>

namespace core
{

struct ReplyRule {
    enum class MatchKind { Hex, Text };

    std::string name;
    bool enabled = true;
    MatchKind matchKind = MatchKind::Hex;
    std::string match; // as written: "01 03 ?? ??" or "OK\r\n"
    std::string reply; // a mixed-send text of the normal form; "{?n}" reuses a "??" byte
    int delayMs = 0;   // 0 to kMaxDelayMs
    int times = 0;     // how often it fires: 0 every time, else that many times
    // What is wrong with it as read from the file (empty: nothing); such a rule never fires
    // until it is mended, and is written back as it was.
    std::string problem;

    static constexpr int kMaxDelayMs = 60000;
    bool operator==(const ReplyRule &) const = default;
};

// The rule's pattern, or nothing with the reason.
std::optional<BytePattern> RulePattern(const ReplyRule &rule, std::string *error);
// Why the rule cannot be used (an empty text when it can).
std::string RuleProblem(const ReplyRule &rule);

inline constexpr const char *kReplyRuleFile = "AutoReply.ini";

struct ReplyRules {
    std::vector<ReplyRule> rules;
    bool on = false; // "自動応答を有効にする"
};

// The rules of the file at `path` (a missing file gives none). Each rule that cannot be used
// puts "[RuleN] name: reason" into *problems and keeps its problem; the others load.
ReplyRules LoadReplyRules(const std::string &path, std::vector<std::string> *problems);
// Writes the rules and the switch, keeping every line the program does not know; the lines are
// read from `readFrom` when it is given (the file read, when `path` is the user's own copy).
// False with the reason when the file cannot be read or written.
bool SaveReplyRules(const std::string &path, const ReplyRules &rules, std::string *error,
                    const std::string &readFrom = {});

} // namespace core
