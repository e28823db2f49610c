// The image identity lookup: asks getmlnxinfo which image fits an adapter.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "inventory/nic_info.h"
#include "run/output_sink.h"
#include "run/temp_file.h"

/// What getmlnxinfo's answer line says.
struct mlnx_answer {
  bool no_image = false;  ///< the answer begins with "0": no image known
  std::string server;     ///< first '#'-separated field
  std::string image;      ///< second field without its line end; "" when absent
};

/// The answer line of the tool's output: the first line (at most 4095
/// characters, its line end kept), cut at the first blank that follows a
/// non-blank character.
std::string mlnx_answer_line(std::string_view output);

/// Reads an answer line: "0..." is no image; otherwise fields separated by
/// runs of '#', the first the server name and the second the image file
/// name, from which only trailing LF and CR are removed.
mlnx_answer parse_mlnx_answer(std::string_view line);

/// Runs `argv` (echoed as `shown`) with its standard output in `data_file`
/// and puts the answer line of that file into `data`. 0 on success, the
/// command's exit status when it failed (128 + n when signal n ended it, as
/// when it outlived `seconds`, FWKIT_QUERY_TIMEOUT), 2 when the file cannot
/// be read.
int get_mlnx_info(const std::string& shown, const std::vector<std::string>& argv, std::string* data,
                  const temp_file& data_file, int seconds, output_sink& out = live_sink());

/// Replaces the first image name of `curnic` by the one getmlnxinfo names
/// for its address. 0 replaced (with "" when the answer names none), 1 the
/// tool knows no image, 2 its output is unreadable, else the tool's exit
/// status. `servername`, when given, receives the answer's first field.
/// The tool is given `seconds` to answer.
int modify_imagename(nic_info& curnic, std::string* servername, int seconds,
                     output_sink& out = live_sink());
