#!/usr/bin/python
"""vemo.agent.pip: documentation only;
the action plugin of the same name does the work, on the controller."""

DOCUMENTATION = r'''
module: pip
short_description: Packages of a vemo agent's private environment
description:
  - An installed version that satisfies the requirement's specifiers (six==1.16.0,
    six>=1,<2) is left alone.
  - Runs on the controller (connection local); host variables ansible_host, vemo_port,
    vemo_key or vemo_key_pem, vemo_fingerprint.
options:
  name:
    type: str
    required: true
    description: Requirement.
  state:
    type: str
    required: false
    description: present (default) or absent.
  extra_args:
    type: str
    required: false
    description: Further installer words.
'''

EXAMPLES = r'''
- vemo.agent.pip:
    name: six==1.16.0
'''
