"""Heartbeat round trips per second on one keyed connection, side by side
with a plain TLS ping-pong of the same message sizes between two processes;
and the agent's own processor time per heartbeat, which other work on the
machine disturbs less than the round trips."""
import argparse
import statistics
import sys

from common import add_host_option, cpu_seconds, host_text, plain_round_trips, running_agent, timed
from vemo_master import MsgType, wire


ROUNDS = 5000
RUNS = 5


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_host_option(parser)
    args = parser.parse_args()
    with running_agent(checkout_host=args.checkout_host) as agent:
        session = agent.session()
        request = wire.pack_request(MsgType.HEARTBEAT)
        session.sock.sendall(request)
        reply_size = 4 + len(session.recv_reply())

        def agent_rounds():
            for _ in range(ROUNDS):
                session.sock.sendall(request)
                session.recv_reply()

        agent_times, plain_times, agent_cpu = [], [], []
        for _ in range(RUNS):
            cpu = cpu_seconds(agent.proc.pid)
            agent_times.append(timed(agent_rounds))
            agent_cpu.append((cpu_seconds(agent.proc.pid) - cpu) / ROUNDS)
            plain_times.append(plain_round_trips(agent, request, b"r" * reply_size, ROUNDS))
        agent_s, plain_s = statistics.median(agent_times), statistics.median(plain_times)
        print("heartbeat: agent %.0f round trips/s, plain TLS ping-pong %.0f/s "
              "(%d-byte request, %d-byte reply); agent/plain = %.2f (median of %d), %s"
              % (ROUNDS / agent_s, ROUNDS / plain_s, len(request), reply_size,
                 plain_s / agent_s, RUNS, host_text(args.checkout_host)))
        print("  agent processor time per heartbeat: %.1f us (median; %.1f..%.1f)"
              % (statistics.median(agent_cpu) * 1e6, min(agent_cpu) * 1e6, max(agent_cpu) * 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
