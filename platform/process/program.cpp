#include "program.h"

#include <utility>

#include "system_profile.h"
#include "win32_subsystem.h"

namespace emu::process {

namespace {

// The thread's program, valid for the machine whose serial is beside it.
struct ThreadState {
    std::shared_ptr<Program> program;
    bool redirection = true;
    uint64_t serial = 0;
};

thread_local ThreadState t_state;

ThreadState& State()
{
    const uint64_t serial = win32::CurrentSerial();
    if (t_state.serial != serial) t_state = ThreadState{nullptr, true, serial};
    return t_state;
}

}  // namespace

Program::Program(std::u16string imagePath, bool is32Bit, std::shared_ptr<Token> token)
    : m_imagePath(std::move(imagePath)), m_is32Bit(is32Bit), m_token(std::move(token))
{
    const size_t slash = m_imagePath.find_last_of(u'\\');
    m_currentDirectory = slash == std::u16string::npos ? u"C:\\" : m_imagePath.substr(0, slash);
}

std::u16string Program::ExeName() const
{
    const size_t slash = m_imagePath.find_last_of(u'\\');
    std::u16string name = slash == std::u16string::npos ? m_imagePath : m_imagePath.substr(slash + 1);
    const size_t dot = name.find_last_of(u'.');
    if (dot != std::u16string::npos) name.resize(dot);
    return name;
}

bool Program::IsWow64() const { return m_is32Bit && SystemProfile::Current().Is64Bit(); }

std::shared_ptr<Token> Program::GetToken() const
{
    std::lock_guard lock(m_mutex);
    return m_token;
}

void Program::SetToken(std::shared_ptr<Token> token)
{
    std::lock_guard lock(m_mutex);
    m_token = std::move(token);
}

std::u16string Program::CurrentDirectory() const
{
    std::lock_guard lock(m_mutex);
    return m_currentDirectory;
}

void Program::SetCurrentDirectory(std::u16string directory)
{
    std::lock_guard lock(m_mutex);
    m_currentDirectory = std::move(directory);
}

DWORD Program::PriorityClass() const
{
    std::lock_guard lock(m_mutex);
    return m_priorityClass;
}

void Program::SetPriorityClass(DWORD priorityClass)
{
    std::lock_guard lock(m_mutex);
    m_priorityClass = priorityClass;
}

HINSTANCE Program::Instance() const
{
    std::lock_guard lock(m_mutex);
    return m_instance;
}

void Program::SetInstance(HINSTANCE instance)
{
    std::lock_guard lock(m_mutex);
    m_instance = instance;
}

std::shared_ptr<Program> CurrentProgram()
{
    ThreadState& state = State();
    return state.program ? state.program : SystemProfile::Current().HostProgram();
}

ProgramScope::ProgramScope(std::shared_ptr<Program> program)
{
    ThreadState& state = State();
    m_previous = std::exchange(state.program, std::move(program));
    m_previousRedirection = std::exchange(state.redirection, true);
    m_previousSerial = state.serial;
}

ProgramScope::~ProgramScope()
{
    ThreadState& state = State();
    if (state.serial != m_previousSerial) return;  // the machine has changed under the scope
    state.program = std::move(m_previous);
    state.redirection = m_previousRedirection;
}

ThreadContext ThreadContext::Capture()
{
    ThreadContext context;
    context.m_program = State().program;
    return context;
}

void ThreadContext::Adopt() const
{
    ThreadState& state = State();
    state.program = m_program;
    state.redirection = true;
}

bool FsRedirectionEnabled() { return State().redirection; }

void SetFsRedirectionEnabled(bool enabled) { State().redirection = enabled; }

}  // namespace emu::process
