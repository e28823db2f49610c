// The image identity lookup through getmlnxinfo, with its output in a temporary file.
#include "discovery/image_lookup.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "inventory/fw_query.h"
#include "run/event_log.h"
#include "run/outside_text.h"
#include "run/process_set.h"
#include "run/text_format.h"

namespace {

constexpr size_t kAnswerLineMax = 4095;

}  // namespace

std::string mlnx_answer_line(std::string_view output) {
  std::string_view line = output.substr(0, std::min(output.find('\0'), kAnswerLineMax));
  if (size_t newline = line.find('\n'); newline != std::string_view::npos)
    line = line.substr(0, newline + 1);
  const size_t text_start = line.find_first_not_of(' ');
  if (text_start != std::string_view::npos) {
    if (size_t blank = line.find(' ', text_start); blank != std::string_view::npos)
      line = line.substr(0, blank);
  }
  return std::string(line);
}

mlnx_answer parse_mlnx_answer(std::string_view line) {
  mlnx_answer answer;
  if (!line.empty() && line[0] == '0') {
    answer.no_image = true;
    return answer;
  }
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (fields.size() < 2) {
    pos = line.find_first_not_of('#', pos);
    if (pos == std::string_view::npos) break;
    size_t end = line.find('#', pos);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  if (fields.size() > 0) answer.server = fields[0];
  if (fields.size() > 1) {
    std::string_view image = fields[1];
    while (!image.empty() && (image.back() == '\n' || image.back() == '\r')) image.remove_suffix(1);
    answer.image = image;
  }
  return answer;
}

int get_mlnx_info(const std::string& shown, const std::vector<std::string>& argv, std::string* data,
                  const temp_file& data_file, int seconds, output_sink& out) {
  data->clear();
  out.console(shown + " \n");
  // Bounded like a query, in a process group of its own, so that a signal
  // to us ends it and then us.
  child_result done;
  const int status = do_command(argv, data_file.fd(), seconds, &done);
  if (status != 0) {
    if (done.timed_out) {
      out.event(kTagError, strprintf("%s gave no answer within %d seconds "
                                     "(FWKIT_QUERY_TIMEOUT)\n",
                                     argv[0].c_str(), seconds));
    }
    out.event(kTagError, strprintf("command failed: %s\n", shown.c_str()));
    return status;
  }
  std::string output;
  if (!read_file_text(data_file.path(), &output, kAnswerLineMax + 1)) {
    out.event(kTagError, strprintf("unable to open file %s\n", data_file.path().c_str()));
    return 2;
  }
  *data = mlnx_answer_line(output);
  return 0;
}

int modify_imagename(nic_info& curnic, std::string* servername, int seconds, output_sink& out) {
  temp_file data_file;  // removed when the lookup ends, whatever its outcome
  if (!data_file.create("dataXXXXXX")) {
    out.event(kTagError, strprintf("modify_imagename: unable to create file dataXXXXXX (%s)\n",
                                   std::strerror(errno)));
    return 2;
  }
  const std::string shown = strprintf("./getmlnxinfo imgfile %s > %s", curnic.pbus_info.c_str(),
                                      data_file.path().c_str());
  std::string line;
  const int status =
      get_mlnx_info(shown, {"./getmlnxinfo", "imgfile", curnic.pbus_info}, &line, data_file, seconds,
                    out);
  if (status != 0) return status;
  const mlnx_answer answer = parse_mlnx_answer(line);
  if (answer.no_image) return 1;
  if (servername) *servername = clean_outside_text(answer.server);
  curnic.pxmlFwImage[0] = clean_outside_text(answer.image);
  return 0;
}
