#pragma once

#include <atomic>
#include <string>

// Posts one url-encoded form with /usr/bin/curl (run directly, never through a shell or PATH).
// True only when curl exited with status 0 and its answer contains "spot(s) added". False, with
// curl killed, when its output passes 4096 bytes, after 12 seconds, or as soon as stop is set.
// Never retries: an uncertain upload counts as failed.
bool post_form_with_curl(std::string const& url, std::string const& body, std::atomic<bool> const& stop);
