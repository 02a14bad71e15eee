#!/usr/bin/python
"""vemo.agent.plugin: documentation only;
the action plugin of the same name does the work, on the controller."""

DOCUMENTATION = r'''
module: plugin
short_description: Call a method of a plugin installed on a vemo agent
description:
  - What the method does is its own, so a call is reported as a change and is
    skipped in check mode. A refusal (no such plugin or method) fails the task.
  - Runs on the controller (connection local); host variables ansible_host, vemo_port,
    vemo_key or vemo_key_pem, vemo_fingerprint.
options:
  name:
    type: str
    required: true
    description: Plugin name.
  method:
    type: str
    required: true
    description: Method to call.
  args:
    type: dict
    required: false
    description: Further request keys the method reads.
'''

EXAMPLES = r'''
- vemo.agent.plugin:
    name: backup
    method: run
    args: {path: /srv}
'''
