#include "process_registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace drel {
namespace {

// A child that sleeps in a known program with a known argument vector and environment.
class SleepingChild {
 public:
  explicit SleepingChild(const char* seconds = "30") : seconds_(seconds) {
    pid_ = ::fork();
    if (pid_ == 0) {
      char* const argv[] = {const_cast<char*>("sleep"), const_cast<char*>(seconds), nullptr};
      char* const envp[] = {const_cast<char*>("DREL_A=1=2"), const_cast<char*>("DREL_B"),
                            const_cast<char*>("DREL_A=3"), nullptr};
      ::execve("/bin/sleep", argv, envp);
      _exit(127);
    }
    // Wait until the exec has replaced the forked copy's cmdline.
    for (int i = 0; i < 500 && !exec_done(); ++i) ::usleep(2000);
  }
  ~SleepingChild() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  bool exec_done() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/cmdline", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text == "sleep" + std::string(1, '\0') + seconds_ + std::string(1, '\0');
  }
  std::string seconds_;
  pid_t pid_;
};

pid_t reaped_pid() {
  const pid_t pid = ::fork();
  if (pid == 0) _exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

TEST(ProcessRegistryTest, ReadsCommandAndEnvironmentOfChild) {
  SleepingChild child;
  ProcessRegistry registry(1, {"root"});
  registry.register_process(child.pid(), 4242);
  const std::optional<ProcessRecord> record = registry.find(child.pid());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->pid, static_cast<uint32_t>(child.pid()));
  EXPECT_EQ(record->parent_pid, 4242u);
  EXPECT_EQ(record->command, (std::vector<std::string>{"sleep", "30"}));
  // Split at the first "=", a missing "=" gives an empty value, a later duplicate wins.
  EXPECT_EQ(record->env, (EnvMap{{"DREL_A", "3"}, {"DREL_B", ""}}));
  EXPECT_EQ(registry.parent_of(child.pid()), 4242);
}

TEST(ProcessRegistryTest, RootKeepsTheGivenCommandConverted) {
  SleepingChild child;
  ProcessRegistry registry(child.pid(), {"tool", "a\xff" "b"});
  registry.register_process(child.pid(), std::nullopt);
  const std::optional<ProcessRecord> record = registry.find(child.pid());
  ASSERT_TRUE(record.has_value());
  EXPECT_FALSE(record->parent_pid.has_value());
  EXPECT_EQ(record->command, (std::vector<std::string>{"tool", "a\xef\xbf\xbd" "b"}));
  EXPECT_EQ(record->env.at("DREL_A"), "3");
  EXPECT_EQ(registry.run_environment(), record->env);
}

TEST(ProcessRegistryTest, VanishedTaskIsNotStoredButVanishedRootIs) {
  const pid_t gone = reaped_pid();
  ProcessRegistry others(1, {"root"});
  others.register_process(gone, 1);
  EXPECT_FALSE(others.find(gone).has_value());
  EXPECT_TRUE(others.records().empty());

  ProcessRegistry root(gone, {"root", "x"});
  root.register_process(gone, std::nullopt);
  const std::optional<ProcessRecord> record = root.find(gone);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->command, (std::vector<std::string>{"root", "x"}));
  EXPECT_TRUE(record->env.empty());
}

TEST(ProcessRegistryTest, ReRegistrationReplacesAndIdsBelowOneAreIgnored) {
  SleepingChild child;
  ProcessRegistry registry(1, {"root"});
  registry.register_process(child.pid(), 10);
  registry.register_process(child.pid(), 20);
  registry.register_process(0, std::nullopt);
  registry.register_process(-5, std::nullopt);
  ASSERT_EQ(registry.records().size(), 1u);
  EXPECT_EQ(registry.records()[0].parent_pid, 20u);
}

// A new task gets its creator's record without reading /proc: even an id that is gone gets it.
TEST(ProcessRegistryTest, NewTaskCopiesItsCreatorsRecord) {
  SleepingChild creator;
  const pid_t gone = reaped_pid();
  ProcessRegistry registry(1, {"root"});
  registry.register_process(creator.pid(), 1);
  registry.register_new_task(gone, creator.pid());
  const std::optional<ProcessRecord> record = registry.find(gone);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->pid, static_cast<uint32_t>(gone));
  EXPECT_EQ(record->parent_pid, static_cast<uint32_t>(creator.pid()));
  EXPECT_EQ(record->command, (std::vector<std::string>{"sleep", "30"}));
  EXPECT_EQ(record->env, (EnvMap{{"DREL_A", "3"}, {"DREL_B", ""}}));
  // Shared until the report is built, then every record has its own.
  const std::vector<ProcessRecord> taken = registry.take_records();
  ASSERT_EQ(taken.size(), 2u);
  for (const ProcessRecord& r : taken) {
    EXPECT_EQ(r.command, (std::vector<std::string>{"sleep", "30"}));
    EXPECT_EQ(r.env, (EnvMap{{"DREL_A", "3"}, {"DREL_B", ""}}));
  }
}

// The root's children run what the root runs, not the command the tracer was given.
TEST(ProcessRegistryTest, RootsChildGetsTheRootsRunningCommand) {
  SleepingChild root;
  const pid_t gone = reaped_pid();
  ProcessRegistry registry(root.pid(), {"tool", "x"});
  registry.register_process(root.pid(), std::nullopt);
  registry.register_new_task(gone, root.pid());
  ASSERT_TRUE(registry.find(gone).has_value());
  EXPECT_EQ(registry.find(gone)->command, (std::vector<std::string>{"sleep", "30"}));
  EXPECT_EQ(registry.find(root.pid())->command, (std::vector<std::string>{"tool", "x"}));
}

// A task whose exec was registered before its creator's event (so without a parent) keeps what
// its exec read; a record an ended task of the same id left (it has a parent) is replaced.
TEST(ProcessRegistryTest, NewTaskThatAlreadyExecutedKeepsItsOwnRecord) {
  SleepingChild executed;
  SleepingChild creator("31");
  const pid_t gone = reaped_pid();
  ProcessRegistry registry(1, {"root"});
  registry.register_process(creator.pid(), 1);
  registry.register_process(executed.pid(), std::nullopt);
  registry.register_new_task(executed.pid(), 4242);
  ASSERT_TRUE(registry.find(executed.pid()).has_value());
  EXPECT_EQ(registry.find(executed.pid())->parent_pid, 4242u);
  EXPECT_EQ(registry.find(executed.pid())->command, (std::vector<std::string>{"sleep", "30"}));

  registry.register_new_task(gone, 4242);  // unknown creator, id gone from /proc: nothing
  EXPECT_FALSE(registry.find(gone).has_value());
  registry.register_new_task(executed.pid(), creator.pid());  // has a parent now: replaced
  EXPECT_EQ(registry.find(executed.pid())->parent_pid, static_cast<uint32_t>(creator.pid()));
  EXPECT_EQ(registry.find(executed.pid())->command, (std::vector<std::string>{"sleep", "31"}));
}

}  // namespace
}  // namespace drel
