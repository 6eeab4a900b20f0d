// Running the listener's player: its command line split as a shell would split it, and never
// run by a shell.
#pragma once

#include <string>
#include <vector>

// A command line split into words as a shell would (quotes, backslashes, $VARIABLES, ~), without
// running anything: command substitution and unquoted | & ; < > are refused. False with `error`
// saying why.
bool split_command_line(const std::string &text, std::vector<std::string> &words,
                        std::string &error);

// The player when none is configured: the first of mpv, ffplay, cvlc and mpg123 found on PATH,
// with what makes it play audio and end when the episode does; none when none is there.
std::vector<std::string> default_player();

// Runs `words` with the terminal, waits and answers its exit status (128 + the signal that ended
// it), or -1 with `error` set when it could not start. Meanwhile Ctrl-C is the player's: the
// client ignores it, the way a shell waits for its job.
int run_player(const std::vector<std::string> &words, std::string &error);
