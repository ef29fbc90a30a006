// Captures what a tool prints on its standard output and error, at the level of the file
// descriptors, for the test suites and the fuzz targets alike.
#pragma once

#include <string>
#include <vector>

struct captured_output {
    std::string out;
    std::string err;
};

// Where standard output goes while captured: a file of its own; the same file as standard
// error, as a script's "2>&1" gives (all of it comes back as out); or a device that is
// always full, so that every write to it fails.
enum class output_target { separate, merged, full_device };

// Points file descriptors 1 and 2 at empty scratch files until capture_end().
void capture_begin(output_target target = output_target::separate);
// Flushes as exit would, drops whatever a failed write left buffered, and restores 1 and 2.
captured_output capture_end();

// The process's own standard error, reachable while a capture is on.
int uncaptured_stderr();

// The lines of a text file, without their line ends; none when it doesn't exist.
std::vector<std::string> file_lines(const std::string& path);
