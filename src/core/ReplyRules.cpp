// SPDX-License-Identifier: MIT
#include "ReplyRules.h"

#include "Ini.h"
#include "Int32Text.h"

namespace core
{
namespace
{

constexpr const char *kSwitchSection = "AutoReply";
constexpr const char *kSwitchKey = "ON";

std::string Section(std::size_t i)
{
    return "Rule" + std::to_string(i + 1);
}

std::string Quoted(const std::string &text)
{
    return '"' + text + '"';
}

} // namespace

std::optional<BytePattern> RulePattern(const ReplyRule &rule, std::string *error)
{
    return rule.matchKind == ReplyRule::MatchKind::Hex ? ParseHexPattern(rule.match, error)
                                                       : ParseTextPattern(rule.match, error);
}

std::string RuleProblem(const ReplyRule &rule)
{
    std::string error;
    if (!RulePattern(rule, &error))
        return "MATCH: " + error;
    if (rule.delayMs < 0 || rule.delayMs > ReplyRule::kMaxDelayMs)
        return "DELAY: not 0 to " + std::to_string(ReplyRule::kMaxDelayMs);
    if (rule.times < 0)
        return "TIMES: below 0";
    return {};
}

ReplyRules LoadReplyRules(const std::string &path, std::vector<std::string> *problems)
{
    ReplyRules result;
    platform::IniFile ini;
    if (!ini.load(path)) {
        problems->push_back(ini.errorText());
        return result;
    }
    result.on = ini.get(kSwitchSection, kSwitchKey, "0") == "1";
    for (std::size_t i = 0; ini.hasSection(Section(i)); ++i) {
        const std::string section = Section(i);
        ReplyRule rule;
        rule.name = ini.get(section, "NAME", "");
        rule.enabled = ini.get(section, "ENABLED", "1") != "0";
        const std::string kind = ini.get(section, "MATCHTYPE", "HEX");
        rule.matchKind = kind == "TEXT" ? ReplyRule::MatchKind::Text : ReplyRule::MatchKind::Hex;
        rule.match = ini.get(section, "MATCH", "");
        rule.reply = ini.get(section, "REPLY", "");
        const std::optional<std::int32_t> delay = ParseInt32(ini.get(section, "DELAY", "0"));
        const std::optional<std::int32_t> times = ParseInt32(ini.get(section, "TIMES", "0"));
        rule.delayMs = delay.value_or(-1);
        rule.times = times.value_or(-1);
        if (kind != "HEX" && kind != "TEXT")
            rule.problem = "MATCHTYPE: neither HEX nor TEXT";
        else
            rule.problem = RuleProblem(rule);
        if (!rule.problem.empty())
            problems->push_back("[" + section + "] " + rule.name + ": " + rule.problem);
        result.rules.push_back(std::move(rule));
    }
    return result;
}

bool SaveReplyRules(const std::string &path, const ReplyRules &rules, std::string *error,
                    const std::string &readFrom)
{
    platform::IniFile ini;
    if (!ini.load(readFrom.empty() ? path : readFrom)) {
        *error = ini.errorText();
        return false;
    }
    ini.set(kSwitchSection, kSwitchKey, rules.on ? "1" : "0");
    for (std::size_t i = 0; i < rules.rules.size(); ++i) {
        const ReplyRule &r = rules.rules[i];
        const std::string section = Section(i);
        ini.set(section, "NAME", Quoted(r.name));
        ini.set(section, "ENABLED", r.enabled ? "1" : "0");
        ini.set(section, "MATCHTYPE", r.matchKind == ReplyRule::MatchKind::Text ? "TEXT" : "HEX");
        ini.set(section, "MATCH", Quoted(r.match));
        ini.set(section, "REPLY", Quoted(r.reply));
        ini.set(section, "DELAY", std::to_string(r.delayMs));
        ini.set(section, "TIMES", std::to_string(r.times));
    }
    // Rules that were deleted leave no section behind for the next start to find.
    for (std::size_t i = rules.rules.size(); ini.hasSection(Section(i)); ++i)
        ini.removeSection(Section(i));
    if (!ini.save(path)) {
        *error = ini.errorText();
        return false;
    }
    return true;
}

} // namespace core
