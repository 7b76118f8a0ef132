"""Times trivial runs through the helper from a client in another language
(the protocol client kept with the tests), against the same client spawning
the tool itself with three pipes. Interleaved, so a busy machine slows both.

usage: python3 python_client_run.py CLIENT_DIR RUNTIME_DIR TOOL_NAME TOOL_PATH ROUNDS
prints: helper_us direct_us ratio (medians)

With RUNTIME_DIR "--bare" the runner is a process of this script that only
reads a byte, spawns the tool the same way and answers: the floor under any
runner in another process, for this client.
"""

import os
import socket
import statistics
import sys
import time

sys.path.insert(0, sys.argv[1])
import protocol_client  # noqa: E402


def direct(tool):
    pipes = [os.pipe() for _ in range(3)]
    actions = [(os.POSIX_SPAWN_DUP2, pipes[0][0], 0),
               (os.POSIX_SPAWN_DUP2, pipes[1][1], 1),
               (os.POSIX_SPAWN_DUP2, pipes[2][1], 2)]
    pid = os.posix_spawn(tool, [tool], {}, file_actions=actions)
    os.close(pipes[0][0])
    os.close(pipes[0][1])
    for read_end, write_end in pipes[1:]:
        os.close(write_end)
        while os.read(read_end, 65536):
            pass
        os.close(read_end)
    return os.waitpid(pid, 0)[1]


def bare_runner(tool):
    ours, theirs = socket.socketpair()
    pid = os.fork()
    if pid == 0:
        ours.close()
        while theirs.recv(1):
            direct(tool)
            theirs.send(b"\0")
        os._exit(0)
    theirs.close()

    def call():
        ours.send(b"x")
        ours.recv(1)

    def finish():
        ours.close()
        os.waitpid(pid, 0)
    return call, finish


def main():
    runtime_dir, name, tool, rounds = sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
    if runtime_dir == "--bare":
        call, finish = bare_runner(tool)
    else:
        helper = protocol_client.Connection(runtime_dir)

        def call():
            helper.call(protocol_client.RUN, "bench", name, [], None, None, {})

        def finish():
            pass
    through, alone = [], []
    for _ in range(rounds):
        began = time.perf_counter()
        call()
        through.append(time.perf_counter() - began)
        began = time.perf_counter()
        direct(tool)
        alone.append(time.perf_counter() - began)
    finish()
    helper_us = statistics.median(through) * 1e6
    direct_us = statistics.median(alone) * 1e6
    print(f"{helper_us:.1f} {direct_us:.1f} {helper_us / direct_us:.4f}")


if __name__ == "__main__":
    main()
