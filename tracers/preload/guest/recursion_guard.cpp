#include "preload/guest/recursion_guard.h"

namespace drel::guest {
namespace {

// Set up in every new thread from the initial image, no set-up call needed. -1: no stream
// call in progress.
constinit thread_local int t_real_call_fd = -1;
constinit thread_local int t_report_depth = 0;

}  // namespace

bool inside_real_call_on(int fd) noexcept { return fd >= 0 && t_real_call_fd == fd; }

int report_depth() noexcept { return t_report_depth; }

RealCallScope::RealCallScope(int fd) noexcept : previous_(t_real_call_fd) { t_real_call_fd = fd; }

RealCallScope::~RealCallScope() { t_real_call_fd = previous_; }

ReportScope::ReportScope() noexcept { ++t_report_depth; }

ReportScope::~ReportScope() { --t_report_depth; }

}  // namespace drel::guest
