#include "ChildProcess.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "ResultText.h"

namespace kzcli {

using kzhost::EXIT_FAILURE_;

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
    std::vector<ChildOutput> arrived; // (mutex)

    void Put(ChildOutput output)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            arrived.push_back(std::move(output));
        }
        ready.notify_one();
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

bool CChildren::Start(size_t id, const std::string& program, const std::vector<std::string>& args, std::string& error)
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
    for (const auto& a : args)
        line += " " + QuoteArgument(a);
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write[0];
    si.hStdError = write[1];
    PROCESS_INFORMATION pi{};
    // Started suspended, so that it is in the job before it runs; Ctrl-C
    // reaches it as the Ctrl-Break passed on.
    const BOOL ok = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                   CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
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
    Impl::Child& child = m_p->children[id];
    child.process = pi.hProcess;
    child.id = pi.dwProcessId;
    for (int s = 0; s < 2; ++s)
        child.readers[s] = std::thread([impl = m_p.get(), id, s, pipe = read[s]] {
            char buf[8192];
            DWORD got = 0;
            while (ReadFile(pipe, buf, sizeof(buf), &got, nullptr) && got > 0)
                impl->Put({id, s, std::string(buf, got)});
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
    taken.swap(m_p->arrived);
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

int CChildren::Reap(size_t id, std::string& how)
{
    Impl::Child& child = m_p->children[id];
    for (std::thread& reader : child.readers)
        reader.join();
    WaitForSingleObject(child.process, INFINITE);
    DWORD code = EXIT_FAILURE_;
    if (!GetExitCodeProcess(child.process, &code))
        how = "its exit code is unknown";
    CloseHandle(child.process);
    child.process = nullptr;
    return static_cast<int>(code);
}

} // namespace kzcli
