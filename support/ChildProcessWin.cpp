#include "ChildProcess.h"

#include <windows.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace kzsupport {

namespace {

// One argument as the C runtime of the child splits it again.
std::string QuoteArgument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos)
        return arg;
    std::string q = "\"";
    for (size_t i = 0;; ++i) {
        size_t slashes = 0;
        while (i < arg.size() && arg[i] == '\\')
            ++slashes, ++i;
        if (i == arg.size()) {
            q.append(slashes * 2, '\\');
            break;
        }
        q.append(arg[i] == '"' ? slashes * 2 + 1 : slashes, '\\');
        q += arg[i];
    }
    return q + "\"";
}

// This process's environment with the setup's changes, as CreateProcess
// takes it: "NAME=value" each, ended by a zero, and one more zero at the end.
std::string EnvironmentBlock(const ChildSetup& setup)
{
    std::vector<std::string> env;
    if (char* own = GetEnvironmentStringsA()) {
        for (const char* var = own; *var != '\0'; var += std::strlen(var) + 1)
            env.emplace_back(var);
        FreeEnvironmentStringsA(own);
    }
    for (const std::string& change : setup.environment)
        ChangeEnvironment(env, change);
    std::string block;
    for (const std::string& var : env)
        block += var + '\0';
    return block + (env.empty() ? std::string(2, '\0') : std::string(1, '\0'));
}

// The children's job: closing its last handle, as the end of this process
// does, ends every child still in it.
HANDLE ChildJob()
{
    static HANDLE job = [] {
        HANDLE made = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made != nullptr)
            SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        return made;
    }();
    return job;
}

void CloseAll(std::initializer_list<HANDLE> handles)
{
    for (HANDLE h : handles)
        if (h != nullptr)
            CloseHandle(h);
}

} // namespace

// Anonymous pipes cannot be waited on together: a thread per stream reads
// with blocking calls and hands the bytes over.
struct CChildren::Impl {
    struct Child {
        HANDLE process = nullptr;
        DWORD id = 0;
        std::thread readers[2];
    };
    std::vector<Child> children;
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<ChildOutput> arrived;        // (mutex)
    std::set<std::pair<size_t, int>> closed; // streams no longer read (mutex)

    // False when the stream was closed: the bytes are dropped.
    bool Put(ChildOutput output)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closed.count({output.child, output.stream}) != 0)
                return false;
            arrived.push_back(std::move(output));
        }
        ready.notify_one();
        return true;
    }
};

CChildren::CChildren() : m_p(std::make_unique<Impl>()) {}

CChildren::~CChildren()
{
    for (Impl::Child& c : m_p->children)
        for (std::thread& reader : c.readers)
            if (reader.joinable())
                reader.join();
}

bool CChildren::Start(size_t id, const std::string& program, const std::vector<std::string>& args, std::string& error,
                      const ChildSetup& setup)
{
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE read[2] = {nullptr, nullptr}, write[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        if (!CreatePipe(&read[i], &write[i], &sa, 0) || !SetHandleInformation(read[i], HANDLE_FLAG_INHERIT, 0)) {
            error = "cannot make a pipe (error " + std::to_string(GetLastError()) + ")";
            CloseAll({read[0], read[1], write[0], write[1]});
            return false;
        }
    }
    std::string line = QuoteArgument(program);
    for (const auto& a : args) {
        line += ' ';
        line += QuoteArgument(a);
    }
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write[0];
    si.hStdError = write[1];
    PROCESS_INFORMATION pi{};
    std::string env = setup.environment.empty() ? std::string() : EnvironmentBlock(setup);
    // A bare name is looked up as the command line's first word is.
    const bool bare = program.find_first_of("/\\:") == std::string::npos;
    // Started suspended, so that it is in the job before it runs; Ctrl-C
    // reaches it as the Ctrl-Break passed on.
    const BOOL ok = CreateProcessA(bare ? nullptr : program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                   CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, env.empty() ? nullptr : env.data(),
                                   setup.folder.empty() ? nullptr : setup.folder.c_str(), &si, &pi);
    const DWORD code = GetLastError();
    CloseAll({write[0], write[1]});
    if (!ok) {
        CloseAll({read[0], read[1]});
        error = "cannot run " + program + " (error " + std::to_string(code) + ")";
        return false;
    }
    if (ChildJob() != nullptr)
        AssignProcessToJobObject(ChildJob(), pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    if (m_p->children.size() <= id)
        m_p->children.resize(id + 1);
    {
        std::lock_guard<std::mutex> lock(m_p->mutex);
        m_p->closed.erase({id, 0});
        m_p->closed.erase({id, 1});
    }
    Impl::Child& child = m_p->children[id];
    child.process = pi.hProcess;
    child.id = pi.dwProcessId;
    for (int s = 0; s < 2; ++s)
        child.readers[s] = std::thread([impl = m_p.get(), id, s, pipe = read[s]] {
            char buf[8192];
            DWORD got = 0;
            while (ReadFile(pipe, buf, sizeof(buf), &got, nullptr) && got > 0)
                if (!impl->Put({id, s, std::string(buf, got)}))
                    break;
            CloseHandle(pipe);
            impl->Put({id, s, std::string()});
        });
    return true;
}

std::vector<ChildOutput> CChildren::Wait(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(m_p->mutex);
    m_p->ready.wait_for(lock, wait, [&] { return !m_p->arrived.empty(); });
    std::vector<ChildOutput> taken;
    for (ChildOutput& output : m_p->arrived)
        if (m_p->closed.count({output.child, output.stream}) == 0)
            taken.push_back(std::move(output));
    m_p->arrived.clear();
    return taken;
}

void CChildren::NoteStop(StopCause cause)
{
    m_p->Put({ChildOutput::STOP, static_cast<int>(cause), std::string()});
}

// Ctrl-Break to the child's process group.
void CChildren::Forward(size_t id, StopCause)
{
    if (id < m_p->children.size() && m_p->children[id].process != nullptr)
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, m_p->children[id].id);
}

// The reader lets go of the pipe once its blocking read returns.
void CChildren::Close(size_t id, int stream)
{
    std::lock_guard<std::mutex> lock(m_p->mutex);
    m_p->closed.insert({id, stream});
}

long CChildren::ProcessId(size_t id) const
{
    return id < m_p->children.size() ? static_cast<long>(m_p->children[id].id) : -1;
}

int CChildren::Reap(size_t id, std::string& how, int* signal)
{
    if (signal != nullptr)
        *signal = 0;
    Impl::Child& child = m_p->children[id];
    for (std::thread& reader : child.readers)
        reader.join();
    WaitForSingleObject(child.process, INFINITE);
    DWORD code = EXIT_FAILURE;
    if (!GetExitCodeProcess(child.process, &code))
        how = "its exit code is unknown";
    CloseHandle(child.process);
    child.process = nullptr;
    return static_cast<int>(code);
}

} // namespace kzsupport
