#include "sig/parse_callsign_events.hpp"

#include <map>

namespace sig {
namespace {

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_call_char(char c) { return is_upper(c) || is_digit(c) || c == '/'; }

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 11 || c == 12; }

// Words upper-cased, with punctuation stripped from their ends ("<Q1ABC>," is Q1ABC); words that
// were only punctuation are dropped.
std::vector<std::string> tokenize(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    auto finish = [&] {
        std::size_t begin = 0;
        std::size_t end = word.size();
        while (begin < end && !is_call_char(word[begin])) ++begin;
        while (end > begin && !is_call_char(word[end - 1])) --end;
        if (end > begin) words.emplace_back(word, begin, end - begin);
        word.clear();
    };
    for (char c : line) {
        if (is_separator(c)) {
            finish();
            continue;
        }
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        word.push_back(c);
    }
    finish();
    return words;
}

bool is_portable_suffix(std::string_view suffix) {
    if (suffix == "P" || suffix == "M" || suffix == "MM" || suffix == "AM" || suffix == "QRP") return true;
    return suffix.size() == 1 && is_digit(suffix[0]);
}

// A call, possibly with one portable suffix (Q1ABC/P, Q1ABC/7). Prefixed forms (VE3/Q1ABC) and
// several slashes are not taken: in keyboard text they are mostly fragments.
bool is_call_word(std::string_view word) {
    if (word.size() < 3 || word.size() > 10) return false;
    std::size_t slashes = 0;
    for (char c : word) {
        if (!is_call_char(c)) return false;
        if (c == '/') ++slashes;
    }
    if (slashes == 0) return looks_like_callsign(word);
    if (slashes > 1) return false;
    const std::size_t slash = word.find('/');
    return looks_like_callsign(word.substr(0, slash)) && is_portable_suffix(word.substr(slash + 1));
}

bool is_cq_word(std::string_view word) { return word == "CQ" || word == "DX" || word == "TEST"; }

}  // namespace

bool looks_like_callsign(std::string_view word) {
    const std::size_t n = word.size();
    if (n < 3) return false;
    std::size_t prefix = 0;
    if (is_upper(word[0]))
        prefix = is_upper(word[1]) ? 2 : 1;
    else if (is_digit(word[0]) && is_upper(word[1]))
        prefix = 2;
    else
        return false;
    if (prefix >= n || !is_digit(word[prefix])) return false;
    const std::size_t letters = n - prefix - 1;
    if (letters < 1 || letters > 4) return false;
    for (std::size_t k = prefix + 1; k < n; ++k)
        if (!is_upper(word[k])) return false;
    return true;
}

bool is_short_locator(std::string_view word) {
    if (word.size() != 4 && word.size() != 6) return false;
    auto field = [](char c) { return c >= 'A' && c <= 'R'; };
    auto sub = [](char c) { return c >= 'A' && c <= 'X'; };
    if (!field(word[0]) || !field(word[1]) || !is_digit(word[2]) || !is_digit(word[3])) return false;
    return word.size() == 4 || (sub(word[4]) && sub(word[5]));
}

std::string find_locator_after(const std::vector<std::string>& words, const std::vector<bool>& is_call,
                               std::size_t i) {
    const long offsets[] = {1, -1, 2, -2};
    for (long offset : offsets) {
        const long j = static_cast<long>(i) + offset;
        if (j < 0 || j >= static_cast<long>(words.size())) continue;
        const auto k = static_cast<std::size_t>(j);
        if (is_call[k]) continue;
        if (is_short_locator(words[k])) return words[k];
    }
    return {};
}

void add_call_evidence(std::vector<CallEvidence>& result, const CallEvidence& evidence) {
    for (CallEvidence& record : result) {
        if (record.call != evidence.call) continue;
        if (evidence.conf > record.conf) {
            record.conf = evidence.conf;
            record.evidence = evidence.evidence;
        }
        if (record.grid.empty()) record.grid = evidence.grid;
        return;
    }
    result.push_back(evidence);
}

std::vector<CallEvidence> parse_callsign_events(std::string_view line, bool late_start) {
    const std::vector<std::string> words = tokenize(line);
    const std::size_t n = words.size();
    std::vector<bool> is_call(n);
    for (std::size_t i = 0; i < n; ++i) is_call[i] = is_call_word(words[i]);
    if (late_start && n > 0 && is_call[0]) {
        bool again = false;
        for (std::size_t i = 1; i < n && !again; ++i) again = words[i] == words[0];
        is_call[0] = again;
    }

    std::vector<CallEvidence> result;
    std::vector<bool> rated(n);
    for (std::size_t i = 1; i < n; ++i) {
        if (!is_call[i]) continue;
        const std::string& before = words[i - 1];
        if (before == "DE") {
            for (std::size_t j = i - 1; j-- > 0 && is_call[j];) {
                rated[j] = true;
                add_call_evidence(result, {words[j], find_locator_after(words, is_call, j), kAddresseeConfidence,
                                           "ADDRESSEE"});
            }
            rated[i] = true;
            add_call_evidence(result, {words[i], find_locator_after(words, is_call, i), kDeConfidence, "DE"});
        } else if (is_cq_word(before)) {
            rated[i] = true;
            add_call_evidence(result, {words[i], find_locator_after(words, is_call, i), kCqConfidence, "CQ"});
        } else if (is_call[i - 1] && before == words[i] && rated[i - 1]) {
            rated[i] = true;  // "CQ Q1ABC Q1ABC": the repetition adds nothing
        }
    }

    std::map<std::string, int> unrated_count;
    for (std::size_t i = 0; i < n; ++i)
        if (is_call[i] && !rated[i]) ++unrated_count[words[i]];

    for (std::size_t i = 0; i < n; ++i) {
        if (!is_call[i] || rated[i]) continue;
        bool known = false;
        for (const CallEvidence& record : result) known = known || record.call == words[i];
        if (known) continue;
        const bool repeated = unrated_count[words[i]] > 1;
        add_call_evidence(result, {words[i], find_locator_after(words, is_call, i),
                                   repeated ? kRepeatConfidence : kBareConfidence, repeated ? "REPEAT" : "BARE"});
    }
    return result;
}

}  // namespace sig
