"""supervise.py STATUS PIDFILE [--setenv NAME=VALUE | --unsetenv NAME]... -- PROGRAM ARGS...: runs
PROGRAM and writes its wait status to STATUS, which umockdev-run does not pass on (a kill by SIGINT
comes back as exit 2). It ignores the terminal signals itself: a test sends them to the program (by
the pid in PIDFILE) or to the process group, as a terminal would."""

import os
import signal
import sys

PASSED_SIGNALS = (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP)


def write_small(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.rename(path + ".tmp", path)


def supervise(status_file, pid_file, env, argv):
    for sig in PASSED_SIGNALS:
        signal.signal(sig, signal.SIG_IGN)
    pid = os.fork()
    if pid == 0:
        try:
            for sig in PASSED_SIGNALS + (signal.SIGPIPE, signal.SIGXFSZ):
                signal.signal(sig, signal.SIG_DFL)
            os.execvpe(argv[0], argv, env)
        except OSError as e:
            os.write(2, f"supervise: cannot run {argv[0]}: {e.strerror}\n".encode())
        os._exit(127)
    write_small(pid_file, f"{pid}\n")
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        write_small(status_file, f"signaled {os.WTERMSIG(status)}\n")
        return 128 + os.WTERMSIG(status)
    write_small(status_file, f"exited {os.WEXITSTATUS(status)}\n")
    return os.WEXITSTATUS(status)


def main(args):
    end, env = args.index("--", 2), dict(os.environ)
    for option, value in zip(args[2:end:2], args[3:end:2]):  # --setenv NAME=VALUE, --unsetenv NAME
        name, _, setting = value.partition("=")
        if option == "--setenv":
            env[name] = setting
        else:
            env.pop(name, None)
    return supervise(args[0], args[1], env, args[end + 1:])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
