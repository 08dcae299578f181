// External commands: cmd_process, cmd_process_return_data, install_and_import.
//
// Children are started through subprocess.Popen (its errors and its process
// object are what callers know), always in a session of their own so that a
// terminal interrupt reaches this process only.  The waiting is done here:
// the pipes and the child's exit are polled with the GIL released and
// pending signals are checked between polls, so Ctrl-C is seen even when the
// signal landed on another thread.  An interrupted wait terminates the
// child's process group and reaps the child before the KeyboardInterrupt
// goes on.
#include "../bridge/args.hpp"
#include "../bridge/entry.hpp"
#include "../bridge/generator.hpp"
#include "../logging/log.hpp"

#include <cerrno>
#include <csignal>
#include <string>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace cu::runtime {

namespace {

const Name n_subprocess("subprocess"), n_Popen("Popen"), n_PIPE("PIPE"), n_shell("shell"),
    n_stdout("stdout"), n_stderr("stderr"), n_encoding("encoding"),
    n_start_new_session("start_new_session"), n_pid("pid"), n_wait("wait"),
    n_returncode("returncode"), n_fileno("fileno"), n_close("close"), n_split("split"),
    n_write("write"), n_sys("sys"), n_space(" "), n_utf8("utf-8"), n_importlib("importlib"),
    n_import_module("import_module"), n_reload("reload"), n_path("path"),
    n_executable("executable"), n_append("append"), n_cmd_process("cmd_process");

// Between two checks for pending signals while blocked.
constexpr int k_poll_ms = 100;

// ==== waiting on the child ===================================================

// Blocks with the GIL released for at most k_poll_ms, then runs pending
// signal handlers (a KeyboardInterrupt is thrown from here).
int poll_released(pollfd* fds, nfds_t n) {
    int r, err;
    Py_BEGIN_ALLOW_THREADS
    r = ::poll(fds, n, k_poll_ms);
    err = errno;
    Py_END_ALLOW_THREADS
    if (r < 0 && err != EINTR) {
        errno = err;
        PyErr_SetFromErrno(PyExc_OSError);
        throw_error();
    }
    return r < 0 ? 0 : r;
}

void check_signals() { check_int(PyErr_CheckSignals()); }

// True once the child has ended (it is left for Popen to reap).
bool has_exited(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) < 0)
        return errno != EINTR;  // ECHILD: reaped elsewhere; Popen copes with that
    return info.si_pid != 0;
}

// Waits until the child `pid` has ended.  With `interruptible`, pending
// signals are handled between polls and may throw.
void wait_exited(pid_t pid, bool interruptible) {
#ifdef SYS_pidfd_open
    int fd = (int)::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};
        pollfd p{fd, POLLIN, 0};
        while (!poll_released(&p, 1)) {
            if (interruptible) check_signals();
        }
        return;
    }
#endif
    // No process descriptors: look at the child every few milliseconds.
    while (!has_exited(pid)) {
        Py_BEGIN_ALLOW_THREADS
        timespec pause{0, 5 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
        Py_END_ALLOW_THREADS
        if (interruptible) check_signals();
    }
}

pid_t pid_of(PyObject* process) {
    return (pid_t)as_long(getattr(process, n_pid).get());
}

// process.wait() once the child has ended: Popen reaps it and sets returncode.
void wait_child(PyObject* process) {
    wait_exited(pid_of(process), true);
    call_method(process, n_wait);
}

// The interrupt path: SIGTERM to the child's whole group, then the child is
// reaped.  A second interrupt during that wait escalates to SIGKILL, so the
// caller is never left hanging on a child that ignores SIGTERM.  The pending
// interrupt `err` is kept as it is; nothing here may replace it.
void terminate_group(PyObject* process, Error& err) {
    Handling handling(err);
    try {
        if (getattr(process, n_returncode).get() != Py_None) return;  // already reaped
        pid_t pid = pid_of(process);
        pid_t group = ::getpgid(pid);
        if (group < 0) return;
        ::killpg(group, SIGTERM);
        try {
            wait_exited(pid, true);
        } catch (Error&) {
            ::killpg(group, SIGKILL);
            wait_exited(pid, false);
        }
        call_method(process, n_wait);
    } catch (Error&) {
        // The child could not be reaped here; Popen's own clean-up of
        // abandoned children takes over, and the interrupt still goes on.
    }
}

// ==== commands ===============================================================

// cmd_arr.split(" ") for a str (subclasses included), else cmd_arr itself.
Ref argument_vector(PyObject* cmd_arr) {
    if (PyUnicode_Check(cmd_arr)) return call_method(cmd_arr, n_split, n_space.get());
    return Ref::borrow(cmd_arr);
}

// " ".join(cmd_arr): raises TypeError for an element that is not a str.
Ref display_form(PyObject* argv) { return check(PyUnicode_Join(n_space, argv)); }

// subprocess.Popen(argv, shell=False, [stdout=PIPE, stderr=PIPE,]
// encoding="utf-8", start_new_session=True); start_new_session has the
// interpreter's own C code call setsid in the forked child: unlike a
// preexec_fn, safe while other threads hold locks.
Ref start_child(PyObject* argv, bool capture) {
    Ref subprocess = module::global(n_subprocess);
    Ref popen = getattr(subprocess.get(), n_Popen);
    Ref pipe = capture ? getattr(subprocess.get(), n_PIPE) : Ref();
    return call_kw(popen.get(), {argv},
                   {{n_shell, Py_False}, {n_stdout, pipe.get()}, {n_stderr, pipe.get()},
                    {n_encoding, n_utf8}, {n_start_new_session, Py_True}});
}

// Logs a failed exit status and raises the ValueError for it; logs the end
// otherwise.
void check_status(PyObject* process, PyObject* display) {
    Ref rc = getattr(process, n_returncode);
    Ref zero = integer(0);
    if (check_int(PyObject_RichCompareBool(rc.get(), zero.get(), Py_NE))) {
        CU_LOG(error, "do cmd failed return=%s cmd=`%s`", rc.get(), display);
        raise(PyExc_ValueError,
              check(PyUnicode_FromFormat("subprocess return Non Zero =%S", rc.get())).get());
    }
    CU_LOG(info, "do cmd end");
}

const Signature cmd_params{"cmd_process", {"cmd_arr"}, 1};
const Signature data_params{"cmd_process_return_data", {"cmd_arr"}, 1};

Ref cmd_process(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(cmd_params, args, kwargs);
    Ref argv = argument_vector(a[0]);
    Ref display = display_form(argv.get());
    CU_LOG(info, "do cmd start: %s", display.get());
    Ref process = start_child(argv.get(), false);
    try {
        wait_child(process.get());
    } catch (Error& e) {
        if (e.matches(PyExc_KeyboardInterrupt)) terminate_group(process.get(), e);
        throw;
    }
    check_status(process.get(), display.get());
    return none();
}

// ==== the output reader ======================================================

// One pipe of the child, split into lines as a text stream with universal
// newlines splits them: a line ends at "\n", "\r" or "\r\n", and the end is
// given as "\n".  The bytes are decoded as strict UTF-8 line by line (no
// UTF-8 sequence contains those bytes, so a split never cuts a character).
struct Pipe {
    int fd = -1;
    bool eof = true;
    std::string buf;
    std::size_t start = 0;    // first byte not yet handed out
    std::size_t scanned = 0;  // bytes before this hold no line end

    // The next whole line, or null when more bytes are needed.
    Ref take_line() {
        std::size_t i = scanned < start ? start : scanned;
        for (; i < buf.size(); ++i) {
            char c = buf[i];
            if (c != '\n' && c != '\r') continue;
            std::size_t next = i + 1;
            if (c == '\r') {
                if (next == buf.size() && !eof) break;  // "\r\n" may be split
                if (next < buf.size() && buf[next] == '\n') ++next;
            }
            return hand_out(i, next, true);
        }
        scanned = i;
        if (eof && start < buf.size()) return hand_out(buf.size(), buf.size(), false);
        return nullptr;
    }

    Ref hand_out(std::size_t end, std::size_t next, bool newline) {
        std::string line(buf, start, end - start);
        if (newline) line += '\n';
        start = scanned = next;
        if (start == buf.size()) {
            buf.clear();
            start = scanned = 0;
        }
        return check(PyUnicode_DecodeUTF8(line.data(), (Py_ssize_t)line.size(), "strict"));
    }

    // Appends what one read returns; a read of nothing is the end of stream.
    void fill() {
        if (start > (1u << 16) && start * 2 > buf.size()) {
            buf.erase(0, start);
            scanned -= start;
            start = 0;
        }
        char chunk[1 << 16];
        ssize_t n;
        do {
            n = ::read(fd, chunk, sizeof chunk);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw_error();
        }
        if (n == 0) eof = true;
        buf.append(chunk, (std::size_t)n);
    }
};

int fd_of(PyObject* stream) { return (int)as_long(call_method(stream, n_fileno).get()); }

// ==== the generator ==========================================================

// Hands every whole line of standard error to sys.stderr, as it is now.
void pass_on_errors(Pipe& err) {
    while (Ref line = err.take_line()) {
        Ref stream = getattr(module::global(n_sys).get(), n_stderr);
        call_method(stream.get(), n_write, line.get());
    }
}

// close() ends the generator and leaves the child to run; Popen's own
// clean-up reaps it.
struct CommandOutput : Generator<CommandOutput> {
    static constexpr const char* full_name = "common_utils.common_utils.command_output";
    static constexpr bool coroutine = false;

    Ref cmd_arr;   // until the first step
    Ref display;   // the display form of the command
    Ref process;   // the Popen object, from the first step on
    Pipe out, err;

    auto refs() { return std::tie(cmd_arr, display, process); }
    const char* name() const { return "cmd_process_return_data"; }

    void finish() noexcept {
        Generator::finish();
        out = Pipe();
        err = Pipe();
    }

    // The next line of standard output, or null at the end.
    Ref advance(PyObject*) {
        try {
            if (cmd_arr) start();
            for (;;) {
                if (Ref line = out.take_line()) return line;
                if (out.eof && err.eof) break;
                pump();
            }
            conclude();
        } catch (Error& e) {
            if (e.matches(PyExc_KeyboardInterrupt) && process) {
                Ref child = process;
                terminate_group(child.get(), e);
            }
            throw;
        }
        return nullptr;
    }

    // An exception thrown in while the child runs arrives where a line was
    // handed out: a KeyboardInterrupt stops the child there as one raised
    // while reading does.
    [[noreturn]] void throw_here(PyObject* typ, PyObject* val, PyObject* tb) {
        Ref child = process;
        finish();
        try {
            raise_thrown(typ, val, tb);
        } catch (Error& e) {
            if (child && e.matches(PyExc_KeyboardInterrupt)) terminate_group(child.get(), e);
            throw;
        }
    }

private:
    void start() {
        Ref argv = argument_vector(Ref(std::move(cmd_arr)).get());
        display = display_form(argv.get());
        CU_LOG(info, "do cmd start: %s", display.get());
        process = start_child(argv.get(), true);
        out.fd = fd_of(getattr(process.get(), n_stdout).get());
        err.fd = fd_of(getattr(process.get(), n_stderr).get());
        out.eof = err.eof = false;
    }

    // Reads whatever either pipe has, waiting for one of them if need be.
    void pump() {
        pollfd fds[2];
        Pipe* pipes[2];
        nfds_t n = 0;
        for (Pipe* p : {&out, &err}) {
            if (p->eof) continue;
            fds[n] = pollfd{p->fd, POLLIN, 0};
            pipes[n++] = p;
        }
        int ready = poll_released(fds, n);
        check_signals();
        if (!ready) return;
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents & POLLNVAL) {  // closed under us: polling again would spin
                errno = EBADF;
                PyErr_SetFromErrno(PyExc_OSError);
                throw_error();
            }
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) pipes[i]->fill();
        }
        pass_on_errors(err);
    }

    // The child has closed both pipes: close them here too, reap it, check it.
    void conclude() {
        Ref child = process, shown = display;
        call_method(getattr(child.get(), n_stderr).get(), n_close);
        call_method(getattr(child.get(), n_stdout).get(), n_close);
        wait_child(child.get());
        check_status(child.get(), shown.get());
    }
};

Keep g_run_type;

Ref cmd_process_return_data(PyObject*, PyObject* args, PyObject* kwargs) {
    Bound<1> a(data_params, args, kwargs);
    Ref self = Native<CommandOutput>::make(g_run_type);
    Native<CommandOutput>::fields(self.get()).cmd_arr = Ref::borrow(a[0]);
    return self;
}

// ==== install_and_import =====================================================

const Signature install_params{"install_and_import", {"module", "package_name", "target_path"}, 1};

Ref import_module(PyObject* module) {
    Ref importlib = module::global(n_importlib);
    return call_method(importlib.get(), n_import_module, module);
}

Ref install_and_import(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref extra, kw;
    Bound<3> a(install_params, args, kwargs, &extra, &kw);
    if (PyDict_Size(kw.get())) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        PyDict_Next(kw.get(), &pos, &key, &value);
        raisef(PyExc_TypeError, "install_and_import() got an unexpected keyword argument '%s'",
               utf8(key).c_str());
    }
    PyObject* module = a[0];
    Ref package_name = Ref::borrow(a.get(1, Py_None));
    Ref target_path = Ref::borrow(a.get(2, Py_None));
    require_str("install_and_import", "module", module);
    if (package_name.get() != Py_None)
        require_str("install_and_import", "package_name", package_name.get());
    if (target_path.get() != Py_None)
        require_str("install_and_import", "target_path", target_path.get());

    Ref imported;
    try {
        imported = import_module(module);
        CU_LOG(debug, "find module %s", module);
    } catch (Error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        Handling handling(e);
        if (package_name.get() == Py_None || !PyUnicode_GetLength(package_name.get()))
            package_name = Ref::borrow(module);
        CU_LOG(warning, "not find module %s, try install by `pip install --user %s`", module,
               package_name.get());
        Ref sys = module::global(n_sys);
        static const Name n_m("-m"), n_pip("pip"), n_install("install"), n_user("--user");
        Ref command = list();
        append(command.get(), getattr(sys.get(), n_executable).get());
        append(command.get(), n_m.get());
        append(command.get(), n_pip.get());
        append(command.get(), n_install.get());
        if (target_path.get() != Py_None && PyUnicode_GetLength(target_path.get())) {
            Ref path = getattr(sys.get(), n_path);
            if (!check_int(PySequence_Contains(path.get(), target_path.get())))
                call_method(path.get(), n_append, target_path.get());
            append(command.get(),
                   check(PyUnicode_FromFormat("--target=%U", target_path.get())).get());
        } else {
            append(command.get(), n_user.get());
        }
        append(command.get(), package_name.get());
        Ref rest = iter(extra.get());
        while (Ref arg = next(rest.get())) append(command.get(), arg.get());
        call(module::global(n_cmd_process).get(), command.get());
        Ref importlib = module::global(n_importlib);
        Ref site = check(PyImport_ImportModule("site"));
        call_method(importlib.get(), n_reload, site.get());
        imported = import_module(module);
    }
    CU_LOG(info, "import %s success", module);
    return imported;
}

PyMethodDef return_data_def =
    CU_VARARGS_SIG("cmd_process_return_data", cmd_process_return_data, "(cmd_arr)",
                   "A generator of the standard-output lines of a command, started on the first "
                   "step; standard error goes to sys.stderr.");

PyMethodDef defs[] = {
    CU_VARARGS_SIG("cmd_process", cmd_process, "(cmd_arr)",
                   "Runs a command (a list of arguments, or a str split on single spaces) to its "
                   "end; ValueError for a non-zero exit status."),
    CU_VARARGS_SIG("install_and_import", install_and_import,
                   "(module, package_name=None, target_path=None, *args)",
                   "Imports a module, installing its package with pip first when it is missing."),
    CU_END,
};

Ref make_return_data() {
    g_run_type.set(GeneratorType<CommandOutput>::make_type());
    return make_function(&return_data_def);
}

}  // namespace

CU_DEFINITION("cmd_process_return_data", make_return_data);
CU_FUNCTIONS(defs, {{"install_and_import",
                     {{"module", "str"}, {"package_name", "str"}, {"target_path", "str"}}}});

}  // namespace cu::runtime
