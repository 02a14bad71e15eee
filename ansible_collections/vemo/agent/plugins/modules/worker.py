#!/usr/bin/python
"""vemo.agent.worker: documentation only;
the action plugin of the same name does the work, on the controller."""

DOCUMENTATION = r'''
module: worker
short_description: Workers of a vemo agent's registry
description:
  - state=started starts the worker unless it runs (a duplicate start is no change);
    state=absent drops its record (a running thread runs on until it ends).
  - Runs on the controller (connection local); host variables ansible_host, vemo_port,
    vemo_key or vemo_key_pem, vemo_fingerprint.
options:
  module:
    type: str
    required: true
    description: Worker module under threads/.
  name:
    type: str
    required: false
    description: Display name.
  state:
    type: str
    required: false
    description: started (default) or absent.
  args:
    type: raw
    required: false
    description: JSON value handed to run().
  save:
    type: bool
    required: false
    description: Restart with every agent start (default true).
'''

EXAMPLES = r'''
- vemo.agent.worker:
    module: tick
    args: {file: /tmp/tick}
'''
