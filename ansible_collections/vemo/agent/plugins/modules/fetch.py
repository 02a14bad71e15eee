#!/usr/bin/python
"""vemo.agent.fetch: documentation only;
the action plugin of the same name does the work, on the controller."""

DOCUMENTATION = r'''
module: fetch
short_description: Fetch a file from a vemo agent
description:
  - Saves to dest/<inventory_hostname>/<src> or, with flat, to dest. Skips a local file
    that already has the remote content; resumes a partial copy; verifies by SHA-1.
  - Runs on the controller (connection local); host variables ansible_host, vemo_port,
    vemo_key or vemo_key_pem, vemo_fingerprint.
options:
  src:
    type: str
    required: true
    description: Remote file.
  dest:
    type: path
    required: true
    description: Controller directory (or file with flat).
  flat:
    type: bool
    required: false
    description: Use dest as given.
'''

EXAMPLES = r'''
- vemo.agent.fetch:
    src: /var/log/app.log
    dest: logs/
'''
