// Starting a helper program that outlives us, and handing it bytes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

// Starts the program at `path` with `arguments` after its name, detached from us: in a session
// of its own (the end of the terminal we came from does not end it), in "/" (it keeps none of
// our folders busy, so none is kept from being unmounted), with every signal at its default
// and none blocked, and with exactly the descriptors in `descriptors` open, as its 0, 1, 2 …
// in that order; every other descriptor of ours stays behind. `pid` receives its id. False,
// errno set, when it could not be started.
bool SpawnDetached(const std::string &path, const std::vector<std::string> &arguments,
                   std::initializer_list<int> descriptors, pid_t &pid);

// A new memory file holding `parts` one after another, positioned at its start and closed on
// exec (SpawnDetached hands it on by number): how a large block of bytes passes to another
// process in one copy, which the receiver may map rather than read. -1, errno set, on failure.
int MemoryFileOf(std::initializer_list<std::span<const std::uint8_t>> parts, const char *name);
