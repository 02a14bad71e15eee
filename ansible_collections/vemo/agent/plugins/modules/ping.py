#!/usr/bin/python
"""vemo.agent.ping: documentation only;
the action plugin of the same name does the work, on the controller."""

DOCUMENTATION = r'''
module: ping
short_description: Check that a vemo agent answers
description:
  - Connects, exchanges the session key and sends one heartbeat.
  - Runs on the controller (connection local); host variables ansible_host, vemo_port,
    vemo_key or vemo_key_pem, vemo_fingerprint.
options: {}
'''

EXAMPLES = r'''
- vemo.agent.ping:
'''
