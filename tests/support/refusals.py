"""Refusals of the agent, which the library raises."""
import pytest

from vemo_master import Refused


def refusal(call, *args, **kw):
    """The agent's own text of the refusal that call(*args, **kw) raises."""
    with pytest.raises(Refused) as caught:
        call(*args, **kw)
    return caught.value.msg
