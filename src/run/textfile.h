// Replacing a text file that other programs read (the metrics file), atomically and only where safe.
#pragma once

#include <functional>
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

/// Makes the new text from the present one: `make` is given the file's text
/// ("" when there is none yet; at most its first MiB), and what it returns
/// replaces the file as replace_text_file does. Runs that update one file
/// take turns: each holds the private lock file ".NAME.lock" beside it (mode
/// 0600, owned by this user, never a link) from reading to renaming, so no
/// update is lost to another made at the same time. Refused as
/// replace_text_file refuses, and also when the lock file cannot be used or
/// another run holds it for more than 10 seconds.
std::string update_text_file(const std::string& path,
                             const std::function<std::string(const std::string& old)>& make);
