#!/usr/bin/python
"""vemo.agent.reload: documentation only;
the action plugin of the same name does the work, on the controller."""

DOCUMENTATION = r'''
module: reload
short_description: Reload modules of a vemo agent
description:
  - Reloads one module of the agent's own, or every one when name is not given
    or not loaded. Always a change; skipped in check mode.
  - Runs on the controller (connection local); host variables ansible_host, vemo_port,
    vemo_key or vemo_key_pem, vemo_fingerprint.
options:
  name:
    type: str
    required: false
    description: Module to reload.
'''

EXAMPLES = r'''
- vemo.agent.reload:
    name: client
'''
