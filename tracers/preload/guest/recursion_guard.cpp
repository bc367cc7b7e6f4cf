#include "preload/guest/recursion_guard.h"

namespace drel::guest {
namespace {

// Zero-initialised in every new thread, no set-up call needed.
constinit thread_local bool t_inside_real = false;
constinit thread_local int t_report_depth = 0;

}  // namespace

bool inside_real_call() noexcept { return t_inside_real; }

int report_depth() noexcept { return t_report_depth; }

RealCallScope::RealCallScope() noexcept : previous_(t_inside_real) { t_inside_real = true; }

RealCallScope::~RealCallScope() { t_inside_real = previous_; }

ReportScope::ReportScope() noexcept { ++t_report_depth; }

ReportScope::~ReportScope() { --t_report_depth; }

}  // namespace drel::guest
