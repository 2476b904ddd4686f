#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that makes loopback look like a network with a round-trip time.

    relay.py LISTEN_PORT TARGET_PORT ONE_WAY_MS

Every byte is delivered ONE_WAY_MS after it arrived, in each direction and in order. A new
connection's first bytes also wait one round trip, the time a TCP handshake takes before a
client may send anything. Prints "relay ready PORT" once listening (LISTEN_PORT 0: a free port).
Loopback only: it listens on 127.0.0.1 and connects to 127.0.0.1."""
import asyncio
import sys


async def pump(reader, writer, delay, hold_until):
    """Copies reader to writer, each chunk `delay` seconds after it arrived (and not before
    `hold_until`, a loop time)."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            due = max(loop.time(), hold_until) + delay
            await queue.put((due, data or None))
            if not data:
                break
    except (ConnectionError, OSError):
        await queue.put((loop.time(), None))
    try:
        await sender
    except (ConnectionError, OSError):
        pass


async def main(listen_port, target_port, one_way):
    async def handle(client_reader, client_writer):
        loop = asyncio.get_running_loop()
        start = loop.time()
        try:
            gate_reader, gate_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, gate_writer, one_way, start + 2 * one_way),
                             pump(gate_reader, client_writer, one_way, 0.0),
                             return_exceptions=True)
        for w in (client_writer, gate_writer):
            w.close()

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port, backlog=256)
    print("relay ready %d" % server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    try:
        asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000))
    except KeyboardInterrupt:
        pass
