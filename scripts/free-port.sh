#!/usr/bin/env bash
# Prints a TCP port on 127.0.0.1 that nothing listens on.
port=$((20000 + RANDOM % 20000))
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    port=$((port + 1))
done
echo "$port"
