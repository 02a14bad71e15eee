#!/usr/bin/python
"""vemo.agent.copy: documentation only;
the action plugin of the same name does the work, on the controller."""

DOCUMENTATION = r'''
module: copy
short_description: Place a controller file on a vemo agent
description:
  - Skips content already in place (SHA-1), resumes an interrupted upload, verifies the
    result and applies mode and owner whether or not content moved. A dest that ends in /
    or is a directory receives the file under its own name.
  - Runs on the controller (connection local); host variables ansible_host, vemo_port,
    vemo_key or vemo_key_pem, vemo_fingerprint.
options:
  src:
    type: path
    required: true
    description: Controller file (looked up in the role's files/ like copy's src).
  dest:
    type: str
    required: true
    description: Remote file path or directory.
  mode:
    type: str
    required: false
    description: >-
      Octal mode such as '0644' or '4755'. Setuid/setgid/sticky bits are applied
      but not read back (the agent lists permission bits only); the task warns.
  owner:
    type: str
    required: false
    description: Account name; the group follows the account.
'''

EXAMPLES = r'''
- vemo.agent.copy:
    src: app.conf
    dest: /etc/app/
    mode: '0640'
    owner: www-data
'''
