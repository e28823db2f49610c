// Replacing a text file that other programs read (the metrics file), atomically and only where safe.
#pragma once

#include <string>

/// Replaces the file `path` with `text`: the text goes into a new file in the
/// same directory (mode 0644 whatever the umask), which is then renamed over
/// `path`, so a reader finds the old file or the new one, never a part.
/// Refused, with nothing written, when `path` ends in no file name, names a
/// link or anything but a regular file, or lies in a directory that is
/// missing or that others than root could change. "" when written, else why
/// not, naming the path.
std::string replace_text_file(const std::string& path, const std::string& text);
