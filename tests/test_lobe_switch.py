"""Fast beam switching: the beam-pattern setup, the lazy manager, the parallel
mode, the setup-wrapped operations and the abstract gain/pattern operations,
driven through recording fake device classes."""

import enum
import inspect

import pytest

from quorvex.QVRPublic import FBSMode, RFMode
from quorvex.QVRUtils import RetCode, RetType, _RspType
from quorvex.qvrdev import LobeSwitchDirector as lsd
from quorvex.qvrdev.BeamPatternManager import BeamPatternManager

LobeSwitchDirector = lsd.LobeSwitchDirector
setup = lsd._require_beam_pattern_setup

ENABLE = ("_setBeamPatternEnable", ("1",), {})
ERASE = ("_eraseBeamPattern", (), {"user_delay": 2})
DISABLE = ("_setBeamPatternEnable", ("0",), {})
APPLY = ("_applyBeamPatternToBFIC", (), {"user_delay": 2})
REBOOT = ("_reboot", (), {})
CLEANUP = [DISABLE, APPLY]


def failed():
    return RetType(RetCode.ERROR, "refused")


class Boom(Exception):
    pass


class Device(LobeSwitchDirector):
    """A host device class that records every device call.

    `replies` maps a step (enable, erase, disable, apply, work, get, set,
    reboot) to the result to return, or to an exception to raise; a step
    without an entry answers RetType().
    """

    def __init__(self, **replies):
        self.calls = []
        self.replies = replies
        self.factory_results = []  # exceptions or managers, taken in turn
        self.factory_calls = 0

    def _answer(self, step, op, *args, **kwargs):
        self.calls.append((op, args, kwargs))
        reply = self.replies.get(step)
        if isinstance(reply, BaseException):
            raise reply
        return RetType() if reply is None else reply

    def _setBeamPatternEnable(self, flag):
        return self._answer("disable" if flag == "0" else "enable", "_setBeamPatternEnable", flag)

    def _eraseBeamPattern(self, **kw):
        return self._answer("erase", "_eraseBeamPattern", **kw)

    def _applyBeamPatternToBFIC(self, **kw):
        return self._answer("apply", "_applyBeamPatternToBFIC", **kw)

    def _getExtCtrl(self):
        return self._answer("get", "_getExtCtrl")

    def _setExtCtrl(self, text):
        return self._answer("set", "_setExtCtrl", text)

    def _reboot(self):
        return self._answer("reboot", "_reboot")

    @setup
    def work(self, *args, **kwargs):
        """Work inside a setup."""
        return self._answer("work", "work", *args, **kwargs)

    # The six abstract operations.
    def _create_beam_pattern_mgr(self):
        self.factory_calls += 1
        nxt = self.factory_results.pop(0) if self.factory_results else BeamPatternManager(2)
        if isinstance(nxt, BaseException):
            raise nxt
        return nxt

    def getFastBeamGain(self, rf_mode, beam_id):
        return RetType()

    def getFastBeamPattern(self, beam_id):
        return RetType()

    def setFastBeamGain(self, rf_mode, beam_id, enable, com_gain=0, ele_gain=0):
        return RetType()

    def setFastBeamPatternThetaPhi(self, beam_id, rf_freq, theta, phi):
        return RetType()

    def setFastBeamPatternAzEl(self, beam_id, rf_freq, azimuth, elevation):
        return RetType()


WORK = ("work", (), {})


# --- the beam-pattern setup ---------------------------------------------------

@pytest.mark.parametrize(
    "failing, expected_calls, returned",
    [
        (None, [ENABLE, ERASE, WORK] + CLEANUP, "work"),
        ("enable", [ENABLE] + CLEANUP, "enable"),
        ("erase", [ENABLE, ERASE] + CLEANUP, "erase"),
        ("work", [ENABLE, ERASE, WORK] + CLEANUP, "work"),
        ("disable", [ENABLE, ERASE, WORK] + CLEANUP, "work"),
        ("apply", [ENABLE, ERASE, WORK] + CLEANUP, "work"),
    ],
)
def test_setup_steps_and_the_result_returned(failing, expected_calls, returned):
    replies = {step: RetType(data=step) for step in ("enable", "erase", "work", "disable", "apply")}
    if failing:
        replies[failing] = failed()
    dev = Device(**replies)
    assert dev.work() is replies[returned]
    assert dev.calls == expected_calls


def test_setup_counts_only_the_ok_member_as_success():
    # A code equal to OK's value but not the member itself is a failure.
    plain = RetType(RetCode.OK.value)
    dev = Device(enable=plain)
    assert dev.work() is plain
    assert dev.calls == [ENABLE] + CLEANUP


def test_setup_reads_retcode_from_the_module_at_call_time(monkeypatch):
    class Code(enum.Enum):
        OK = 0

    dev = Device(enable=RetType(Code.OK), erase=RetType(Code.OK))
    monkeypatch.setattr(lsd, "RetCode", Code)
    dev.work()
    assert dev.calls == [ENABLE, ERASE, WORK] + CLEANUP



def test_a_class_from_an_earlier_import_keeps_reading_its_own_module(monkeypatch):
    import importlib
    import sys

    from quorvex import qvrdev

    name = "quorvex.qvrdev.LobeSwitchDirector"
    monkeypatch.delitem(sys.modules, name)
    monkeypatch.setattr(qvrdev, "LobeSwitchDirector", lsd)  # put back afterwards, as sys.modules is
    fresh = importlib.import_module(name)
    assert fresh is not lsd and fresh.LobeSwitchDirector is not LobeSwitchDirector

    monkeypatch.setattr(lsd, "RetType", lambda **kw: ("earlier", kw))
    members = {k: v for k, v in vars(Device).items() if k not in ("__dict__", "__weakref__")}
    FreshDevice = type("FreshDevice", (fresh.LobeSwitchDirector,), members)
    assert Device(get=RetType(data="1")).getFastParallelMode() == ("earlier", {"data": True})
    assert FreshDevice(get=RetType(data="1")).getFastParallelMode().RetData is True

    # Each module's setup decorator judges results by its own module's RetCode.
    class Code(enum.Enum):
        OK = 0

    monkeypatch.setattr(lsd, "RetCode", Code)
    for module, calls in [(lsd, [ENABLE] + CLEANUP), (fresh, [ENABLE, ERASE, WORK] + CLEANUP)]:
        dev = Device(enable=RetType(), erase=RetType())
        module._require_beam_pattern_setup(Device.work.__wrapped__)(dev)
        assert dev.calls == calls

@pytest.mark.parametrize(
    "raising, expected_calls",
    [
        ("enable", [ENABLE] + CLEANUP),
        ("erase", [ENABLE, ERASE] + CLEANUP),
        ("work", [ENABLE, ERASE, WORK] + CLEANUP),
        ("disable", [ENABLE, ERASE, WORK, DISABLE]),
        ("apply", [ENABLE, ERASE, WORK] + CLEANUP),
    ],
)
def test_setup_exception_propagates_after_the_clean_up(raising, expected_calls):
    err = Boom(raising)
    dev = Device(**{raising: err})
    with pytest.raises(Boom) as info:
        dev.work()
    assert info.value is err
    assert dev.calls == expected_calls


@pytest.mark.parametrize("step", ["enable", "erase"])
def test_setup_result_without_retcode_raises_after_the_clean_up(step):
    dev = Device(**{step: object()})
    with pytest.raises(AttributeError):
        dev.work()
    assert dev.calls[-2:] == CLEANUP
    assert WORK not in dev.calls


@pytest.mark.parametrize("cleanup_step", ["disable", "apply"])
def test_clean_up_exception_replaces_the_pending_one_and_chains_to_it(cleanup_step):
    body_err, cleanup_err = Boom("body"), Boom("cleanup")
    dev = Device(work=body_err, **{cleanup_step: cleanup_err})
    with pytest.raises(Boom) as info:
        dev.work()
    assert info.value is cleanup_err
    assert info.value.__context__ is body_err


def test_setup_forwards_arguments_unchanged():
    dev = Device()
    kwargs = {"k": 1}
    dev.work(1, "two", None, **kwargs)
    assert dev.calls[2] == ("work", (1, "two", None), {"k": 1})


def test_setup_without_the_device_object_is_a_type_error():
    with pytest.raises(TypeError, match="self"):
        Device.work()


def test_setup_takes_the_device_by_the_name_self_too():
    dev = Device()
    LobeSwitchDirector.eraseFastBeamConfig(self=dev)
    assert [c[0] for c in dev.calls][0] == "_setBeamPatternEnable"


# --- identity and signature of the wrapper --------------------------------------

def _plain(dev, beam_id: int, gain: float = 1.5) -> RetType:
    """Plain doc."""
    return RetType()


_plain.marker = "kept"


def _with_signature(dev, *args):
    """Signed doc."""
    return RetType()


_with_signature.__signature__ = inspect.Signature(
    [inspect.Parameter("dev", inspect.Parameter.POSITIONAL_OR_KEYWORD),
     inspect.Parameter("beam", inspect.Parameter.KEYWORD_ONLY, default=3)])


def _with_falsy_signature(dev, x=1):
    """Falsy doc."""
    return RetType()


_with_falsy_signature.__signature__ = None


@pytest.mark.parametrize("func", [_plain, _with_signature, _with_falsy_signature,
                                  LobeSwitchDirector.syncFastBeamConfig.__wrapped__])
def test_wrapper_carries_the_identity_and_signature_of_func(func):
    wrapper = setup(func)
    for attr in ("__name__", "__qualname__", "__module__", "__doc__"):
        assert getattr(wrapper, attr) == getattr(func, attr)
    assert wrapper.__annotations__ == func.__annotations__
    assert wrapper.__wrapped__ is func
    if getattr(func, "__signature__", None):
        assert wrapper.__signature__ is func.__signature__
    else:
        assert wrapper.__signature__ == inspect.signature(func)
    assert inspect.signature(wrapper) == inspect.signature(func)
    if func is _plain:
        assert wrapper.marker == "kept"


def test_decorator_interface():
    text = "Callable[..., RetType]"
    assert setup.__annotations__ == {"func": text, "return": text}
    sig = inspect.signature(setup)
    assert list(sig.parameters) == ["func"]
    assert sig.parameters["func"].annotation == text and sig.return_annotation == text
    assert setup.__doc__.startswith(
        "Decorator to setup beam pattern before execution and cleanup after.")


# --- the lazy manager -------------------------------------------------------------

def test_manager_is_created_once_on_first_access():
    dev = Device()
    assert dev.factory_calls == 0 and dev._beam_pattern_mgr is None
    mgr = dev.beam_pattern_mgr
    assert isinstance(mgr, BeamPatternManager)
    assert dev.beam_pattern_mgr is mgr and dev._beam_pattern_mgr is mgr
    assert dev.factory_calls == 1
    assert LobeSwitchDirector._beam_pattern_mgr is None
    assert Device().beam_pattern_mgr is not mgr
    with pytest.raises(AttributeError):
        dev.beam_pattern_mgr = None


def test_manager_factory_failure_stores_nothing_and_is_retried():
    dev = Device()
    dev.factory_results = [Boom("no memory"), "manager"]
    with pytest.raises(Boom):
        dev.beam_pattern_mgr
    assert dev._beam_pattern_mgr is None
    assert dev.beam_pattern_mgr == "manager"
    assert dev.beam_pattern_mgr == "manager"
    assert dev.factory_calls == 2


# --- instantiation rules ------------------------------------------------------------

ABSTRACT = ["_create_beam_pattern_mgr", "getFastBeamGain", "getFastBeamPattern",
            "setFastBeamGain", "setFastBeamPatternThetaPhi", "setFastBeamPatternAzEl"]


@pytest.mark.parametrize("missing", ABSTRACT)
def test_class_missing_any_abstract_operation_cannot_be_instantiated(missing):
    ns = {name: getattr(Device, name) for name in ABSTRACT if name != missing}
    partial = type(LobeSwitchDirector)("Partial", (LobeSwitchDirector,), ns)
    with pytest.raises(TypeError, match=missing):
        partial()


def test_abstract_set_and_class_defaults():
    assert LobeSwitchDirector.__abstractmethods__ == frozenset(ABSTRACT)
    with pytest.raises(TypeError):
        LobeSwitchDirector()
    assert Device().external_control_enabled is False


# --- fast parallel mode ------------------------------------------------------------

FULL = int(FBSMode.FULL_GAIN_PHASE)


@pytest.mark.parametrize(
    "args, kwargs, text, flag",
    [
        ((True,), {}, f"1,{FULL}", True),
        ((0, FBSMode.GAIN_ONLY), {}, f"0,{int(FBSMode.GAIN_ONLY)}", False),
        (("on",), {"fbs_mode": FBSMode.PHASE_ONLY}, f"1,{int(FBSMode.PHASE_ONLY)}", True),
        ((), {"toEnable": [], "fbs_mode": 7}, "0,7", False),
        ((1.0, 3.9), {}, "1,3", True),
    ],
)
def test_set_fast_parallel_mode_sends_flag_and_mode(args, kwargs, text, flag):
    dev = Device()
    dev.external_control_enabled = not flag
    ret = dev.setFastParallelMode(*args, **kwargs)
    assert dev.calls == [("_setExtCtrl", (text,), {})]
    assert ret.RetCode is RetCode.OK and ret.RetData is None
    assert dev.external_control_enabled is flag


@pytest.mark.parametrize("reply", [failed(), RetType(RetCode.OK.value)])
def test_rejected_set_fast_parallel_mode_returns_the_reply_and_keeps_the_state(reply):
    dev = Device(set=reply)
    dev.external_control_enabled = True
    assert dev.setFastParallelMode(False) is reply
    assert dev.external_control_enabled is True


@pytest.mark.parametrize("mode, error", [("fast", ValueError), (None, TypeError)])
def test_set_fast_parallel_mode_without_integer_mode_fails_before_any_call(mode, error):
    dev = Device()
    with pytest.raises(error):
        dev.setFastParallelMode(True, mode)
    assert dev.calls == []


@pytest.mark.parametrize(
    "data, expected",
    [("0", False), ("1", True), ("2", True), ("-3", True), (" 1 ", True),
     (0, False), (5, True), (True, True)],
)
def test_get_fast_parallel_mode_converts_the_reply(data, expected):
    dev = Device(get=RetType(data=data))
    dev.external_control_enabled = "untouched"
    ret = dev.getFastParallelMode()
    assert ret.RetCode is RetCode.OK and ret.RetData is expected
    assert dev.calls == [("_getExtCtrl", (), {})]
    assert dev.external_control_enabled == "untouched"


def test_get_fast_parallel_mode_builds_the_result_from_data_only(monkeypatch):
    built = []

    def record(*args, **kwargs):
        built.append((args, kwargs))
        return "made"

    monkeypatch.setattr(lsd, "RetType", record)
    assert Device(get=RetType(data="1")).getFastParallelMode() == "made"
    assert built == [((), {"data": True})]


@pytest.mark.parametrize("data, error", [("abc", ValueError), (None, TypeError), ("1.5", ValueError)])
def test_get_fast_parallel_mode_propagates_conversion_errors(data, error):
    with pytest.raises(error):
        Device(get=RetType(data=data)).getFastParallelMode()


class _FailedNoData:
    RetCode = RetCode.ERROR

    @property
    def RetData(self):
        raise AssertionError("RetData of a failed reply was read")


@pytest.mark.parametrize("reply", [_FailedNoData(), RetType(0, "", "1")])
def test_get_fast_parallel_mode_returns_a_failed_reply_itself(reply):
    assert Device(get=reply).getFastParallelMode() is reply


# --- the two setup-wrapped operations ----------------------------------------------

def test_erase_fast_beam_config_is_the_setup_alone():
    dev = Device()
    ret = dev.eraseFastBeamConfig()
    assert dev.calls == [ENABLE, ERASE] + CLEANUP
    assert ret.RetCode is RetCode.OK and ret.RetData is None


@pytest.mark.parametrize("reboot", [RetType(data="up"), failed()])
def test_sync_fast_beam_config_reboots_inside_the_setup(reboot):
    dev = Device(reboot=reboot)
    dev.external_control_enabled = True
    assert dev.syncFastBeamConfig() is reboot
    assert dev.calls == [ENABLE, ERASE, REBOOT] + CLEANUP
    assert dev.external_control_enabled is True


@pytest.mark.parametrize("op", ["eraseFastBeamConfig", "syncFastBeamConfig"])
def test_wrapped_operation_with_extra_argument_fails_inside_the_setup(op):
    dev = Device()
    with pytest.raises(TypeError):
        getattr(dev, op)(1)
    assert dev.calls == [ENABLE, ERASE] + CLEANUP


def test_fbs_cmd_dict_is_a_fresh_ordered_table():
    dev = Device()
    first, second = dev._fbs_cmd_dict(), dev._fbs_cmd_dict()
    assert first == second and first is not second
    assert list(first.items()) == [
        ("_getExtCtrl", ("ExtCtrl_EN?", _RspType.RSP_STRING)),
        ("_setExtCtrl", ("ExtCtrl_EN", _RspType.RSP_STRING)),
        ("_setBeamPatternEnable", ("BEAM_PATTERN_STORE_EN", _RspType.RSP_STRING)),
        ("_getBeamPatternEnable", ("BEAM_PATTERN_STORE_EN?", _RspType.RSP_STRING)),
        ("_eraseBeamPattern", ("BEAM_PATTERN_ERASE", _RspType.RSP_STRING)),
        ("_setBeamPatternStoreTDBS", ("BEAM_PATTERN_STORE_TDBS_BEAM", _RspType.RSP_STRING)),
        ("_setBeamPatternStoreFBS", ("BEAM_PATTERN_STORE_FBS_BEAM", _RspType.RSP_STRING)),
        ("_applyBeamPatternToBFIC", ("BEAM_PATTERN_APPLY_BFIC", _RspType.RSP_STRING)),
    ]
    first.clear()
    assert len(dev._fbs_cmd_dict()) == 8


# --- the abstract operations' base versions ------------------------------------------

class _BadBool:
    def __bool__(self):
        raise Boom("truth")


class _FloatOnly:  # a number to PyNumber_Check, but not one int() takes
    def __float__(self):
        return 2.0


@pytest.mark.parametrize(
    "op, args, kwargs, error, match",
    [
        ("setFastBeamPatternThetaPhi", ("x", 1.0, 2.0, 3.0), {}, TypeError, r"beam_id.*int.*str"),
        ("setFastBeamPatternThetaPhi", (2.7, 1.0, 2.0, 3.0), {}, NotImplementedError, None),
        ("setFastBeamPatternThetaPhi", ("x", "bad", 2.0, 3.0), {}, TypeError, "beam_id"),
        ("setFastBeamPatternThetaPhi", (1, "bad", 2.0, 3.0), {}, ValueError, None),
        ("setFastBeamPatternAzEl", (1, 2.0, None, 3.0), {}, TypeError, None),
        ("setFastBeamPatternAzEl", (1, 2, 3, 4), {}, NotImplementedError, None),
        ("setFastBeamPatternAzEl", (1, 2, 3), {}, TypeError, None),
        ("setFastBeamGain", (RFMode.TX, 1, True), {}, NotImplementedError, None),
        ("setFastBeamGain", (RFMode.TX, 1, _BadBool()), {}, Boom, None),
        ("setFastBeamGain", (RFMode.RX, 1, 0), {"ele_gain": [1]}, TypeError, r"ele_gain.*list"),
        ("setFastBeamGain", (RFMode.RX, 1), {}, TypeError, None),
        ("getFastBeamGain", (RFMode.TX, 1 + 2j), {}, TypeError, "beam_id"),
        ("getFastBeamPattern", (_FloatOnly(),), {}, TypeError, r"beam_id.*_FloatOnly"),
        ("getFastBeamPattern", (), {"beam_id": 4}, NotImplementedError, None),
        ("_create_beam_pattern_mgr", (), {}, NotImplementedError, None),
    ],
)
def test_abstract_base_versions_check_arguments_then_refuse(op, args, kwargs, error, match):
    with pytest.raises(error, match=match):
        getattr(LobeSwitchDirector, op)(Device(), *args, **kwargs)


@pytest.mark.parametrize(
    "op, params",
    [
        ("getFastBeamGain", [("rf_mode", RFMode), ("beam_id", int)]),
        ("getFastBeamPattern", [("beam_id", int)]),
        ("setFastBeamGain", [("rf_mode", RFMode), ("beam_id", int), ("enable", bool),
                             ("com_gain", int, 0), ("ele_gain", int, 0)]),
        ("setFastBeamPatternThetaPhi", [("beam_id", int), ("rf_freq", float),
                                        ("theta", float), ("phi", float)]),
        ("setFastBeamPatternAzEl", [("beam_id", int), ("rf_freq", float),
                                    ("azimuth", float), ("elevation", float)]),
        ("setFastParallelMode", [("toEnable", bool), ("fbs_mode", FBSMode, FBSMode.FULL_GAIN_PHASE)]),
        ("getFastParallelMode", []),
        ("eraseFastBeamConfig", []),
        ("syncFastBeamConfig", []),
    ],
)
def test_operation_signatures(op, params):
    sig = inspect.signature(getattr(LobeSwitchDirector, op))
    shown = [(p.name, p.annotation) + (() if p.default is p.empty else (p.default,))
             for p in list(sig.parameters.values())[1:]]
    assert list(sig.parameters)[0] == "self"
    assert shown == params
    assert sig.return_annotation is RetType


def test_start_end_enum():
    E = lsd.StartEndEnum
    assert issubclass(E, enum.IntEnum)
    assert [(m.name, m.value) for m in E] == [("OTHER", 0), ("START", 1), ("END", 2),
                                               ("START_END", 3)]
    assert E.START_END == 3 and E(0) is E.OTHER
    assert E.__module__ == lsd.__name__ and E.__doc__ == "Enum for start and end states."
