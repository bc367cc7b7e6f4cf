#include "process_tree.h"

#include "shell_quote.h"
#include "text_line.h"

namespace drel::report {

ProcessIndex::ProcessIndex(const std::vector<ProcessRecord>& processes) : processes_(processes) {
  for (size_t i = 0; i < processes.size(); ++i) first_of_pid_.try_emplace(processes[i].pid, i);
}

std::optional<size_t> ProcessIndex::find(uint32_t thread_id) const {
  const auto it = first_of_pid_.find(thread_id);
  if (it == first_of_pid_.end()) return std::nullopt;
  return it->second;
}

std::string ProcessIndex::describe(uint32_t thread_id) const {
  const auto i = find(thread_id);
  if (!i || processes_[*i].command.empty()) return std::to_string(thread_id);
  return program_name(processes_[*i]) + "[" + std::to_string(thread_id) + "]";
}

std::string command_text(const ProcessRecord& process) {
  if (process.command.empty()) return "(command not recorded)";
  return shell_join(process.command);
}

std::string program_name(const ProcessRecord& process) {
  if (process.command.empty() || process.command.front().empty()) return "?";
  const std::string& argv0 = process.command.front();
  const size_t slash = argv0.rfind('/');
  const std::string base = slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
  return printable(base.empty() ? argv0 : base);
}

std::vector<TreeEntry> process_tree(const std::vector<ProcessRecord>& procs) {
  const ProcessIndex index(procs);
  std::vector<std::vector<size_t>> children(procs.size());
  std::vector<size_t> roots;
  for (size_t i = 0; i < procs.size(); ++i) {
    const auto& parent = procs[i].parent_pid;
    const auto at = parent ? index.find(*parent) : std::nullopt;
    if (!at || *at == i) {
      roots.push_back(i);
    } else {
      children[*at].push_back(i);
    }
  }
  std::vector<TreeEntry> order;
  order.reserve(procs.size());
  std::vector<bool> shown(procs.size(), false);
  auto walk = [&](size_t root) {
    std::vector<TreeEntry> stack{{root, 0}};
    while (!stack.empty()) {
      const TreeEntry e = stack.back();
      stack.pop_back();
      if (shown[e.index]) continue;
      shown[e.index] = true;
      order.push_back(e);
      for (auto c = children[e.index].rbegin(); c != children[e.index].rend(); ++c)
        stack.push_back({*c, e.depth + 1});
    }
  };
  for (size_t root : roots) walk(root);
  for (size_t i = 0; i < procs.size(); ++i)
    if (!shown[i]) walk(i);
  return order;
}

}  // namespace drel::report
