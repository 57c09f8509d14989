#pragma once

// The human-readable "SIG" line of a signal event, for an operator or a log scanner:
//   SIG PSK31 yymmdd_HHMMSS 14.071500 MHz: spot track=3 ch=psk20 call=Q1ABC conf=0.95 snr=12.3 grid=FN42
// and the survey's variant of it. Text fields are escaped or stripped so that one event is
// always one line whose fields split at blanks.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/sig/call_evidence.hpp"
#include "core/sig/channel_info.hpp"
#include "core/sig/event.hpp"

namespace sig {

// printf of one number, at most 63 characters; infinite or NaN print as 0 in the same format.
std::string format_number(double value, const char* format);

// The text without bytes 0..32, 127, '"', ',' and ':' (so it stays one token).
std::string sanitize_token(std::string_view text);

// '"' and '\' escaped with a backslash, bytes below 32 and 127 as \xHH; UTF-8 unchanged.
std::string escape_text(std::string_view text);

// escape_text in double quotes.
std::string quote_text(std::string_view text);

// "Q1ABC:0.95,Q2XYZ:0.30": records with a call, in order.
std::string format_call_list(const std::vector<CallEvidence>& calls);

// "detected", "lost", "text", "spot", "wefax-start", "wefax-progress", "wefax-image",
// "wefax-stop", "updated"; "unknown" for any other value.
const char* event_kind_word(EventKind kind);

// The upper-case mode name, with "-" and the variant for RTTY, OLIVIA, WEFAX and SSTV
// (RTTY-45.45/170).
std::string mode_label(const Event& event);

// The SIG line of an analysis event, without its newline; text stands for the event's text
// (the standard-error sink passes a shortened one to keep lines within 500 bytes).
std::string format_sig_line(const ChannelInfo& channel, const Event& event, std::string_view text);

// The survey's SIG line: HAM or OTHER, the emitter identifier, the run text and whether the
// emitter was decoded.
std::string format_survey_line(const Event& event, std::uint64_t emitter, bool ham, std::string_view text,
                               std::string_view run);

}  // namespace sig
