"""Argument binding, receiver checks, borrow conflicts, PanicException and the module surface."""

import inspect

import pytest
import quibrel
from conftest import Interactions, from_rows, run_python


def item_cf(**overrides):
    args = dict(
        task="ranking",
        k_sim=10,
        n_users=2,
        n_items=3,
        min_common=1,
        user_interactions=from_rows([{0: 1.0, 1: 1.0}, {1: 2.0}]),
        item_interactions=from_rows([{0: 1.0}, {0: 1.0, 1: 2.0}, {}]),
        user_consumed={0: [0, 1]},
        default_pred=0.0,
    )
    args.update(overrides)
    return quibrel.ItemCF(**args)


def swing(**overrides):
    args = dict(
        top_k=10,
        alpha=1.0,
        max_cache_num=100,
        n_users=2,
        n_items=3,
        user_interactions=from_rows([{0: 1.0, 1: 1.0}, {1: 2.0}]),
        item_interactions=from_rows([{0: 1.0}, {0: 1.0, 1: 2.0}, {}]),
        user_consumed={},
        default_pred=0.0,
    )
    args.update(overrides)
    return quibrel.Swing(**args)


def test_module_surface():
    assert quibrel.__all__ == [
        "UserCF", "ItemCF", "Swing", "save_user_cf", "load_user_cf", "save_item_cf",
        "load_item_cf", "save_swing", "load_swing", "build_consumed_unique", "__version__",
    ]
    assert quibrel.__version__ == "0.2.1"
    assert quibrel.__doc__ == "Quibrel module"
    assert not hasattr(quibrel, "PanicException")
    for name in quibrel.__all__[:-1]:
        assert getattr(quibrel, name).__module__ == "quibrel"
    assert list(inspect.signature(quibrel.load_swing).parameters) == ["path", "model_name"]
    assert quibrel.save_item_cf.__doc__ == "save_item_cf(model, path, model_name)\n--\n\n" or (
        quibrel.save_item_cf.__text_signature__ == "(model, path, model_name)"
    )


@pytest.mark.parametrize("cls", ["ItemCF", "UserCF", "Swing"])
def test_class_text_signature(cls):
    first = "top_k, alpha, max_cache_num" if cls == "Swing" else "task, k_sim"
    sig = getattr(quibrel, cls).__text_signature__
    assert sig.startswith("(" + first)
    assert sig.endswith("user_interactions, item_interactions, user_consumed, default_pred)")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.predict([1], [2], [3]),
         "ItemCF.predict() takes 2 positional arguments but 3 were given"),
        (lambda m: m.compute_similarities(True, 1, 2, threads=3),
         "ItemCF.compute_similarities() takes 2 positional arguments but 3 were given"),
        (lambda m: m.predict(users=[1], item=[2]),
         "ItemCF.predict() got an unexpected keyword argument 'item'"),
        (lambda m: m.predict([1], users=[2]),
         "ItemCF.predict() got multiple values for argument 'users'"),
        (lambda m: m.recommend([1]),
         ("ItemCF.recommend() missing 3 required positional arguments: "
          "'n_rec', 'filter_consumed', and 'random_rec'")),
        (lambda m: m.update_similarities(),
         ("ItemCF.update_similarities() missing 2 required positional arguments: "
          "'user_interactions' and 'item_interactions'")),
        (lambda m: quibrel.load_item_cf("x"),
         "load_item_cf() missing 1 required positional argument: 'model_name'"),
        (lambda m: quibrel.build_consumed_unique(),
         ("build_consumed_unique() missing 2 required positional arguments: "
          "'user_indices' and 'item_indices'")),
        (lambda m: quibrel.ItemCF("ranking"),
         ("ItemCF.__new__() missing 8 required positional arguments: 'k_sim', 'n_users', "
          "'n_items', 'min_common', 'user_interactions', 'item_interactions', 'user_consumed', "
          "and 'default_pred'")),
        (lambda m: quibrel.save_swing(1, 2, 3, 4),
         "save_swing() takes 3 positional arguments but 4 were given"),
        (lambda m: swing().compute_swing(threads=2),
         "Swing.compute_swing() got an unexpected keyword argument 'threads'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(item_cf())
    assert str(info.value) == message


def test_one_positional_uses_was():
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 was given|"
                                        r"takes no arguments"):
        item_cf().num_sim_elements(1)
    with pytest.raises(TypeError) as info:
        swing().compute_swing(1, 2)
    assert str(info.value) == "Swing.compute_swing() takes 1 positional arguments but 2 were given"


def test_prefix_rule_and_passthrough():
    m = item_cf()
    with pytest.raises(TypeError) as info:
        m.compute_similarities(False, 1.5)
    assert str(info.value) == (
        "argument 'num_threads': 'float' object cannot be interpreted as an integer"
    )
    with pytest.raises(OverflowError):  # not a TypeError: no prefix
        m.compute_similarities(False, -1)
    with pytest.raises(TypeError) as info:
        item_cf(task=5)
    assert str(info.value) == "argument 'task': 'int' object cannot be converted to 'PyString'"


def test_prefix_keeps_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError) as info:
        item_cf(k_sim=Bad())
    assert str(info.value) == "argument 'k_sim': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_reentrant_call_during_exclusive_hold():
    m = item_cf()
    seen = []

    class Sneaky:
        def __index__(self):
            for call in (lambda: m.predict([0], [0]), lambda: m.compute_similarities(True, 1)):
                try:
                    call()
                    seen.append("ran")
                except RuntimeError as e:
                    seen.append(str(e))
            return 1

    # A method takes its hold before converting its arguments...
    with pytest.raises(TypeError):
        m.compute_similarities(Sneaky(), Sneaky())
    assert seen == []  # bool conversion fails first, no __index__ call
    m.compute_similarities(True, Sneaky())
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    # ...while a setter converts first and takes its hold afterwards.
    seen.clear()
    m.n_users = Sneaky()
    assert seen == ["ran", "ran"]


def test_shared_hold_refuses_exclusive_reentry():
    m = item_cf()
    seen = []

    class Sneaky:
        def __index__(self):
            try:
                m.n_items = 4
            except RuntimeError as e:
                seen.append(str(e))
            return 0

    m.predict([Sneaky()], [0])
    assert seen == ["Already borrowed"]
    m.n_items = 4  # the hold is released afterwards


def test_panic_exception_properties():
    m = item_cf(
        user_interactions=Interactions([0], [0, 5], [1.0]),  # row runs past its entries
    )
    with pytest.raises(BaseException) as info:
        m.predict([0], [0])
    exc = info.value
    assert not isinstance(exc, Exception), "`except Exception` must not catch it"
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "pyo3_runtime"
    assert type(exc).__bases__ == (BaseException,)
    assert len(exc.args) == 1 and exc.args[0].startswith("index out of bounds: the len is 1")


def test_panic_type_created_once():
    m = item_cf(user_interactions=Interactions([0], [0, 5], [1.0]))
    types = set()
    for _ in range(3):
        try:
            m.predict([0], [0])
        except BaseException as e:
            types.add(type(e))
    assert len(types) == 1


def test_panic_writes_diagnostic_to_stderr():
    code = (
        "import quibrel\n"
        "from conftest import Interactions\n"
        "m = quibrel.ItemCF('ranking', 1, 1, 1, 1, Interactions([0],[0,5],[1.0]),"
        " Interactions([],[],[]), {}, 0.0)\n"
        "try:\n    m.predict([0],[0])\nexcept BaseException as e:\n    print(type(e).__name__)\n"
    )
    out = run_python(code)
    assert out.stdout.strip() == "PanicException"
    assert "panicked at" in out.stderr and "index out of bounds" in out.stderr


def test_second_initialisation_raises_import_error():
    code = (
        "import sys, importlib, quibrel\n"
        "del sys.modules['quibrel']\n"
        "try:\n    importlib.import_module('quibrel')\n"
        "except ImportError as e:\n    print('ImportError', 'once' in str(e))\n"
    )
    out = run_python(code)
    assert out.stdout.strip() == "ImportError True", out.stderr


@pytest.mark.parametrize("factory", [item_cf, swing])
def test_write_only_attributes(factory):
    m = factory()
    for name in ("n_users", "n_items", "user_consumed"):
        with pytest.raises(AttributeError):
            getattr(m, name)
        with pytest.raises(AttributeError) as info:
            delattr(m, name)
        assert str(info.value) == "can't delete attribute"
    m.n_users = 5
    m.n_items = True
    m.user_consumed = {}
    with pytest.raises(TypeError) as info:
        m.n_users = "5"
    assert str(info.value).startswith("argument 'n_users': ")
    with pytest.raises(TypeError) as info:
        m.user_consumed = [1]
    assert str(info.value) == (
        "argument 'user_consumed': 'list' object cannot be converted to 'PyDict'"
    )


def test_swing_hidden_fields():
    m = swing()
    for name in ("top_k", "alpha", "max_cache_num", "default_pred", "swing_scores"):
        assert not hasattr(m, name)


def test_method_receiver_check():
    with pytest.raises(TypeError):
        quibrel.ItemCF.predict(swing(), [0], [0])
