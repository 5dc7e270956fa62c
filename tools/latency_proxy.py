#!/usr/bin/env python3
"""A latency proxy: TCP on loopback, as if the far end were a round trip away.

    latency_proxy.py --target PORT --rtt MS [--port N] [--log FILE]
                     [--idle SECONDS] [--lifetime SECONDS]

Listens on 127.0.0.1 (port 0, the default, picks a free port), prints
"listening on 127.0.0.1:PORT" on standard output once it does, and relays
every connection it accepts to 127.0.0.1:PORT of --target:

  - no byte flows until one round trip after the connection was accepted,
    what the TCP handshake costs a client before its first byte can leave;
  - every chunk read from either side is written to the other half a round
    trip after it was read, in order; the end of a direction (EOF) travels
    the same way. Bandwidth is not limited.

So a request on a new connection with a TLS handshake costs three round
trips, one on a kept connection one. Both ends are on 127.0.0.1 and nothing
else is accepted or dialled.

It counts connections: --log FILE gets one line per accepted connection
("connection N"), and at exit it prints "connections: N" on standard output.
It stops by itself once no connection has been open for --idle seconds
(default 30), after --lifetime seconds in all (default 600), or on SIGTERM
or SIGINT. At most 64 connections are relayed at once; more are closed.
"""

import argparse
import asyncio
import signal
import sys

HOST = "127.0.0.1"
CHUNK = 1 << 16  # bytes read at once
MAX_CONNECTIONS = 64
MAX_RTT_MS = 10_000


class Proxy:
    def __init__(self, target, rtt, log_path):
        self.target = target
        self.rtt = rtt
        self.log = open(log_path, "a", encoding="utf-8") if log_path else None
        self.accepted = 0
        self.open = 0
        self.last_open = None  # loop time when the last connection closed
        self.tasks = set()

    def close(self):
        if self.log:
            self.log.close()

    async def relay(self, reader, writer, delay):
        """Copies reader to writer, each chunk `delay` seconds after it was
        read; the reader's end becomes the writer's."""
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        async def take():
            while True:
                try:
                    data = await reader.read(CHUNK)
                except OSError:
                    data = b""
                queue.put_nowait((loop.time() + delay, data))
                if not data:
                    return

        taking = asyncio.ensure_future(take())
        try:
            while True:
                due, data = await queue.get()
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not data:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()
        except OSError:
            return
        finally:
            taking.cancel()

    async def serve(self, client_reader, client_writer):
        if self.open >= MAX_CONNECTIONS:
            client_writer.close()
            return
        self.accepted += 1
        self.open += 1
        if self.log:
            self.log.write(f"connection {self.accepted}\n")
            self.log.flush()
        server_writer = None
        try:
            # The handshake's round trip, before the client's first byte.
            await asyncio.sleep(self.rtt)
            server_reader, server_writer = await asyncio.open_connection(
                HOST, self.target)
            await asyncio.gather(
                self.relay(client_reader, server_writer, self.rtt / 2),
                self.relay(server_reader, client_writer, self.rtt / 2))
        except OSError:
            pass
        finally:
            for writer in (client_writer, server_writer):
                if writer is not None:
                    writer.close()
            self.open -= 1
            self.last_open = asyncio.get_running_loop().time()

    async def run(self, port, idle, lifetime, ready):
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signum, stop.set)
        server = await asyncio.start_server(self.serve, HOST, port)
        ready(server.sockets[0].getsockname()[1])
        start = self.last_open = loop.time()
        while not stop.is_set():
            now = loop.time()
            if now - start >= lifetime:
                break
            if self.open == 0 and now - self.last_open >= idle:
                break
            try:
                await asyncio.wait_for(stop.wait(), 0.2)
            except asyncio.TimeoutError:
                pass
        server.close()
        await server.wait_closed()


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Relays TCP on 127.0.0.1 with a round trip of latency.")
    parser.add_argument("--target", type=int, required=True,
                        help="the port on 127.0.0.1 to relay to")
    parser.add_argument("--rtt", type=float, required=True,
                        help="the round trip in milliseconds")
    parser.add_argument("--port", type=int, default=0,
                        help="the port to listen on; 0 picks a free one")
    parser.add_argument("--log", help="file to append a line per connection "
                        "to")
    parser.add_argument("--idle", type=float, default=30.0,
                        help="seconds without an open connection until it "
                        "exits")
    parser.add_argument("--lifetime", type=float, default=600.0,
                        help="seconds until it exits in any case")
    args = parser.parse_args(argv)
    if not 0 < args.target < 65536 or not 0 <= args.port < 65536:
        parser.error("ports are from 1 to 65535")
    if not 0 <= args.rtt <= MAX_RTT_MS:
        parser.error(f"--rtt must be from 0 to {MAX_RTT_MS}")
    if not args.idle > 0 or not args.lifetime > 0:
        parser.error("--idle and --lifetime must be positive")
    return args


def main(argv):
    args = parse_args(argv)
    proxy = Proxy(args.target, args.rtt / 1000, args.log)

    def ready(port):
        print(f"listening on {HOST}:{port}", flush=True)

    try:
        asyncio.run(proxy.run(args.port, args.idle, args.lifetime, ready))
    except OSError as e:
        print(f"latency_proxy: {e}", file=sys.stderr)
        return 1
    finally:
        proxy.close()
    print(f"connections: {proxy.accepted}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
