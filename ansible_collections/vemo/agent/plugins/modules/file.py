#!/usr/bin/python
"""vemo.agent.file: documentation only;
the action plugin of the same name does the work, on the controller."""

DOCUMENTATION = r'''
module: file
short_description: Directories, modes and owners on a vemo agent
description:
  - state=directory makes the directory and its parents; state=file sets mode and owner of
    an existing path. Both read back. The agent removes nothing, so there is no state=absent.
  - Runs on the controller (connection local); host variables ansible_host, vemo_port,
    vemo_key or vemo_key_pem, vemo_fingerprint.
options:
  path:
    type: str
    required: true
    description: Remote path.
  state:
    type: str
    required: false
    description: directory or file (default).
  mode:
    type: str
    required: false
    description: Octal mode.
  owner:
    type: str
    required: false
    description: Account name.
'''

EXAMPLES = r'''
- vemo.agent.file:
    path: /srv/app
    state: directory
    mode: '0755'
'''
