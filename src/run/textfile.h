// Replacing a text file that other programs read (the metrics file), atomically and only where safe.
#pragma once

#include <string>

/// Replaces the file `path` with `text`: the text goes into a new file in the
/// same directory (mode 0644 whatever the umask), which is then renamed over
/// `path`, so a reader finds the old file or the new one, never a part.
/// The directory is opened once, not through a link, and must be owned by
/// root (or the effective user) and writable by nobody else; every later step
/// works inside that open directory. Its parents are not judged: whoever
/// controls one can at most put another such directory in its place (Debian
/// gives /var/lib/prometheus, above node_exporter's root-owned textfile
/// directory, to the prometheus user). Refused, with nothing written, when
/// `path` ends in no file name, the directory is missing, a link or not
/// trusted, or `path` names a link or anything but a regular file. "" when
/// written, else why not, naming the path.
std::string replace_text_file(const std::string& path, const std::string& text);
