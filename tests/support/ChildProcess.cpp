#include "ChildProcess.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace TestSupport {

ChildProcess::ChildProcess(std::vector<std::string> words, const std::string& outputFile, Output mode)
{
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | (mode == Output::Append ? O_APPEND : O_TRUNC),
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot run " + words[0]);
}

ChildProcess::~ChildProcess()
{
    if (!m_status) {
        ::kill(m_pid, SIGKILL);
        wait(std::chrono::seconds(5));
    }
}

void ChildProcess::signal(int number)
{
    if (!m_status)
        ::kill(m_pid, number);
}

int ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_status) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
            m_status = status;
        else if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(*m_status) ? WEXITSTATUS(*m_status) : -1;
}

} // namespace TestSupport
