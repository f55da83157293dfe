#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that puts a round-trip time between its clients and a server.

Every chunk is delivered RTT/2 after it arrived, in each direction, in order and without
waiting for the previous one (the delay adds latency but does not cap the throughput). A
new connection cannot carry its request before the handshake's round trip: the client's data
is held until one RTT after the connection was accepted, then delayed by RTT/2 like the rest.
So a request on a new connection is answered after 2 RTT, on a kept-alive one after 1 RTT.

While a cut is armed, the proxy relays no more than the given number of response bytes in
all, then closes the connection that reached it (and any later one at its first byte), as a
dropped network would. bench.py runs it in a thread; on its own it serves until interrupted:
    latency_proxy.py LISTEN_PORT TARGET_PORT [RTT_MS]
"""

import asyncio
import collections
import sys
import threading

# Bytes received and not yet delivered, per direction, before the proxy stops reading: far
# above what half a round trip holds at the proxy's own speed, so it never limits throughput.
IN_FLIGHT = 64 * 1024 * 1024


class Pipe(asyncio.Protocol):
    """One socket of a relayed connection: what it receives is written to its peer's socket
    RTT/2 later, and not before not_before + RTT/2."""

    def __init__(self, proxy, not_before, response):
        self.proxy = proxy
        self.not_before = not_before
        self.response = response  # the socket to the server: what it receives is counted
        self.transport = self.peer = self.timer = None
        self.pending = collections.deque()  # (due, data); b"" is the end of the stream
        self.queued = 0
        self.full = self.peer_full = False
        self.eof = self.done = False

    def connection_made(self, transport):
        self.transport = transport
        self.update_reading()

    def data_received(self, data):
        self.push(data)

    def eof_received(self):
        self.push(b"")
        return True  # the other direction may go on

    def connection_lost(self, exc):
        if not self.eof and not self.done:
            self.push(b"")

    # The socket the peer writes to is full, or drained again.
    def pause_writing(self):
        self.peer.peer_full = True
        self.peer.update_reading()

    def resume_writing(self):
        self.peer.peer_full = False
        self.peer.update_reading()

    def update_reading(self):
        if self.transport is None or self.transport.is_closing():
            return
        if self.full or self.peer_full or self.peer.transport is None:
            self.transport.pause_reading()
        else:
            self.transport.resume_reading()

    def push(self, data):
        loop = self.proxy.loop
        self.eof = self.eof or not data
        self.pending.append((max(loop.time(), self.not_before) + self.proxy.rtt / 2, data))
        self.queued += len(data)
        if self.queued > IN_FLIGHT and not self.full:
            self.full = True
            self.update_reading()
        if self.timer is None:
            self.timer = loop.call_at(self.pending[0][0], self.flush)

    def flush(self):
        loop = self.proxy.loop
        self.timer = None
        while self.pending and self.pending[0][0] <= loop.time() and not self.done:
            _, data = self.pending.popleft()
            self.queued -= len(data)
            if data:
                self.forward(data)
            else:
                self.finish()
        if self.pending and not self.done:
            self.timer = loop.call_at(self.pending[0][0], self.flush)
        if self.full and self.queued <= IN_FLIGHT // 2:
            self.full = False
            self.update_reading()

    def forward(self, data):
        proxy = self.proxy
        cut = False
        if self.response:
            if proxy.budget is not None:
                cut = len(data) >= proxy.budget
                data = data[: proxy.budget]
                proxy.budget -= len(data)
            proxy.response_bytes += len(data)
        if data and not self.peer.transport.is_closing():
            self.peer.transport.write(data)
        if cut:
            proxy.cuts += 1
            self.close()

    def finish(self):
        self.done = True
        peer = self.peer.transport
        if self.peer.done or peer is None or self.transport.is_closing():
            self.close()
        elif peer.can_write_eof():
            peer.write_eof()

    def close(self):
        """Closes both sockets; what was written to them is still sent."""
        for pipe in (self, self.peer):
            pipe.done = True
            if pipe.timer:
                pipe.timer.cancel()
                pipe.timer = None
            if pipe.transport:
                pipe.transport.close()


class LatencyProxy:
    def __init__(self, listen_port, target_port, rtt=0.1):
        self.listen_port = listen_port
        self.target_port = target_port
        self.rtt = rtt
        self.budget = None  # response bytes still allowed while a cut is armed
        self.cuts = 0
        self.response_bytes = 0  # relayed to the clients since the start
        self.loop = asyncio.new_event_loop()
        self.thread = None

    def arm_cut(self, response_bytes):
        self.call(setattr, self, "budget", response_bytes)

    def disarm_cut(self):
        self.call(setattr, self, "budget", None)

    def call(self, fn, *args):
        """Runs fn in the proxy's thread and waits for it."""
        done = threading.Event()
        self.loop.call_soon_threadsafe(lambda: (fn(*args), done.set()))
        done.wait()

    def start(self):
        ready = threading.Event()
        failure = []

        def serve():
            try:
                self.server = self.loop.run_until_complete(
                    self.loop.create_server(self.accept, "127.0.0.1", self.listen_port))
            except OSError as error:
                failure.append(error)
                return
            finally:
                ready.set()
            self.loop.run_forever()

        self.thread = threading.Thread(target=serve, daemon=True)
        self.thread.start()
        ready.wait()
        if failure:
            raise failure[0]

    def stop(self):
        self.call(self.server.close)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()

    def accept(self):
        """The protocol of an accepted connection; the connection to the server follows."""
        now = self.loop.time()
        client = Pipe(self, now + self.rtt, response=False)
        server = Pipe(self, now, response=True)
        client.peer, server.peer = server, client

        async def connect():
            try:
                await self.loop.create_connection(lambda: server, "127.0.0.1", self.target_port)
            except OSError:
                client.close()
                return
            if client.done:
                server.close()
            client.update_reading()

        self.loop.create_task(connect())
        return client


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__.rsplit("\n\n", 1)[-1])
    rtt = float(sys.argv[3]) / 1000 if len(sys.argv) == 4 else 0.1
    proxy = LatencyProxy(int(sys.argv[1]), int(sys.argv[2]), rtt)
    proxy.start()
    try:
        proxy.thread.join()
    except KeyboardInterrupt:
        print("%d response bytes relayed" % proxy.response_bytes, file=sys.stderr)


if __name__ == "__main__":
    main()
