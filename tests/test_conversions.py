"""Conversion kinds: integers, floats, bools, strings, sequences (with the buffer fast path),
dicts, consumed maps and interaction matrices."""

import array
import gzip
import struct

import numpy as np
import pytest
import quibrel
from cf_state import state
from conftest import Interactions, from_rows


def make_item_cf(user_interactions=None, item_interactions=None, user_consumed=None, **kw):
    args = dict(
        task="ranking", k_sim=5, n_users=3, n_items=3, min_common=1,
        user_interactions=user_interactions or from_rows([{0: 1.0}, {0: 2.0, 1: 1.0}, {}]),
        item_interactions=item_interactions or from_rows([{0: 1.0, 1: 2.0}, {1: 1.0}, {}]),
        user_consumed={} if user_consumed is None else user_consumed,
        default_pred=0.5,
    )
    args.update(kw)
    return quibrel.ItemCF(**args)


class Boom(Exception):
    pass


class BadIter:
    """A sequence whose iteration fails half way."""

    def __len__(self):
        raise Boom("len")

    def __getitem__(self, i):
        if i == 1:
            raise Boom("iteration")
        if i > 1:
            raise IndexError
        return 0


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, 1),
        (np.int64(2), 2),
        (2**64 - 1, 2**64 - 1),
    ],
)
def test_u64_accepts(value, expected, tmp_path):
    # k_sim through the constructor, n_items through the setter; both land in the file header.
    m = make_item_cf(k_sim=value)
    m.n_items = value
    quibrel.save_item_cf(m, str(tmp_path), "m")
    raw = gzip.decompress((tmp_path / "m.gz").read_bytes())
    (task_length,) = struct.unpack_from("<Q", raw)
    k_sim, n_users, n_items, _ = struct.unpack_from("<QQQQ", raw, 8 + task_length)
    assert (k_sim, n_users, n_items) == (expected, 3, expected)


@pytest.mark.parametrize(
    "value, exc, text",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.0, TypeError, "argument 'k_sim': 'float' object cannot be interpreted as an integer"),
        (None, TypeError,
         "argument 'k_sim': 'NoneType' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'k_sim': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_u64_refuses(value, exc, text):
    with pytest.raises(exc) as info:
        make_item_cf(k_sim=value)
    assert type(info.value) is exc
    if text:
        assert str(info.value) == text
    else:
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**70])
def test_i32_overflow_in_elements_is_unprefixed(value):
    with pytest.raises(OverflowError) as info:
        quibrel.build_consumed_unique([value], [0])
    assert not str(info.value).startswith("argument")


def test_f32_rounds_to_nearest():
    m = make_item_cf(default_pred=0.1)
    assert m.predict([3], [0]) == [0.10000000149011612]
    m = make_item_cf(default_pred=1e300)
    assert m.predict([3], [0]) == [float("inf")]
    with pytest.raises(TypeError) as info:
        make_item_cf(default_pred="0.1")
    assert str(info.value).startswith("argument 'default_pred': ")


def test_bool_kind():
    m = make_item_cf()
    with pytest.raises(TypeError) as info:
        m.recommend([0], 1, 1, False)
    assert str(info.value) == (
        "argument 'filter_consumed': 'int' object cannot be converted to 'PyBool'"
    )
    # numpy booleans are accepted
    recs, _report = m.recommend([0], 1, np.bool_(True), np.True_)
    assert len(recs) == 1


def test_list_kind_refuses_tuples_and_arrays():
    m = make_item_cf()
    with pytest.raises(TypeError) as info:
        m.predict((0,), [0])
    assert str(info.value) == "argument 'users': 'tuple' object cannot be converted to 'PyList'"
    with pytest.raises(TypeError) as info:
        quibrel.build_consumed_unique([0], np.array([1]))
    assert str(info.value) == (
        "argument 'item_indices': 'ndarray' object cannot be converted to 'PyList'"
    )


def test_str_refused_with_unicode_error_passthrough():
    with pytest.raises(UnicodeEncodeError):
        make_item_cf(task="\ud800")
    with pytest.raises(TypeError) as info:
        quibrel.load_item_cf(b"dir", "m")
    assert str(info.value) == "argument 'path': 'bytes' object cannot be converted to 'PyString'"


# ---- sequences ---------------------------------------------------------------

SEQUENCE_INPUTS = [
    [0, 1, 2],
    (0, 1, 2),
    range(3),
    np.array([0, 1, 2], dtype=np.int64),
    np.array([0, 1, 2], dtype=np.uint8),
    np.array([0, 1, 2], dtype=np.int32)[::1],
    np.array([0, 9, 1, 9, 2], dtype=np.int16)[::2],  # strided view
    array.array("q", [0, 1, 2]),
    memoryview(array.array("i", [0, 1, 2])),
    bytes([0, 1, 2]),
    [np.int64(0), np.int32(1), True + 1],
]


@pytest.mark.parametrize("indices", SEQUENCE_INPUTS, ids=lambda v: type(v).__name__)
def test_sequence_sources_agree(indices):
    """Every source of the same numbers builds the same matrix."""
    reference = make_item_cf(
        item_interactions=Interactions([0, 1, 2], [0, 1, 2, 3], [1.0, 2.0, 3.0]))
    model = make_item_cf(item_interactions=Interactions(indices, [0, 1, 2, 3], [1.0, 2.0, 3.0]))
    reference.compute_similarities(True, 1) if False else None  # state not needed here
    # Same prediction behaviour shows the matrices are equal where read.
    assert model.predict([0, 1, 2], [0, 1, 2]) == reference.predict([0, 1, 2], [0, 1, 2])


@pytest.mark.parametrize(
    "indices, exc, cause_text",
    [
        (np.array([0.0, 1.0]), TypeError,
         "'numpy.float64' object cannot be interpreted as an integer"),
        (np.array([2**31], dtype=np.int64), OverflowError, None),
        (np.array([2**32], dtype=np.uint64), OverflowError, None),
        (np.array([0, None], dtype=object), TypeError,
         "'NoneType' object cannot be interpreted as an integer"),
        (np.array([[0, 1]]), TypeError, None),
        ("01", TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({0: 1}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
        (BadIter(), Boom, "iteration"),
    ],
    ids=["float-array", "i64-overflow", "u64-overflow", "object-array", "2d", "str", "int",
         "dict", "failing-iteration"],
)
def test_indices_failures_wrap_cause(indices, exc, cause_text):
    with pytest.raises(TypeError) as info:
        make_item_cf(user_interactions=Interactions(indices, [0, 1], [1.0]))
    assert str(info.value) == "failed to extract field CsrMatrix.indices"
    cause = info.value.__cause__
    assert type(cause) is exc
    if cause_text is not None:
        assert str(cause) == cause_text


def test_buffer_path_matches_element_path_for_floats():
    values = np.array([0.1, 1e39, -0.0, 3, float("nan")], dtype=np.float64)
    as_array = make_item_cf(
        item_interactions=Interactions([0, 1, 2, 0, 1], [0, 5], values),
        k_sim=0,
    )
    as_list = make_item_cf(
        item_interactions=Interactions([0, 1, 2, 0, 1], [0, 5], values.tolist()),
        k_sim=0,
    )
    # Both must load; equality of the stored values is checked through files elsewhere.
    assert as_array.predict([0], [0]) == as_list.predict([0], [0])


@pytest.mark.parametrize(
    "attr, field, bad",
    [
        ("sparse_indptr", "indptr", [-1]),
        ("sparse_indptr", "indptr", np.array([0, -1], dtype=np.int64)),
        ("sparse_data", "data", ["x"]),
        ("sparse_data", "data", "1.0"),
    ],
)
def test_other_fields_wrap(attr, field, bad):
    obj = Interactions([0], [0, 1], [1.0])
    setattr(obj, attr, bad)
    with pytest.raises(TypeError) as info:
        make_item_cf(user_interactions=obj)
    assert str(info.value) == f"failed to extract field CsrMatrix.{field}"
    assert info.value.__cause__ is not None


def test_missing_attribute_and_read_order():
    class OnlyIndices:
        sparse_indices = "bad"

    with pytest.raises(TypeError) as info:
        make_item_cf(user_interactions=OnlyIndices())
    assert str(info.value) == "failed to extract field CsrMatrix.indices"

    class NoIndptr:
        sparse_indices = [0]

    with pytest.raises(AttributeError) as info:
        make_item_cf(user_interactions=NoIndptr())
    assert "sparse_indptr" in str(info.value)


def test_int_data_is_accepted(tmp_path):
    m = make_item_cf(item_interactions=Interactions([0, 1], [0, 2], [1, 2.5]))
    indices, indptr, data = state(m, tmp_path)["item_interactions"]
    assert indices.tolist() == [0, 1] and indptr.tolist() == [0, 2]
    assert data.dtype == np.float32 and data.tolist() == [1.0, 2.5]


# ---- constructor conversion order ---------------------------------------------

@pytest.mark.parametrize(
    "cls, expected",
    [("ItemCF", "consumed"), ("UserCF", "matrix"), ("Swing", "consumed")],
)
def test_constructor_reads_contents_in_class_order(cls, expected):
    no_matrix = object()
    bad_consumed = {"key": [1]}
    if cls == "Swing":
        args = (1, 1.0, 0, 3, 3, no_matrix, no_matrix, bad_consumed, 0.0)
    else:
        args = ("ranking", 1, 3, 3, 1, no_matrix, no_matrix, bad_consumed, 0.0)
    with pytest.raises((TypeError, AttributeError)) as info:
        getattr(quibrel, cls)(*args)
    if expected == "consumed":
        assert type(info.value) is TypeError
        assert "cannot be interpreted as an integer" in str(info.value)
        assert not str(info.value).startswith("argument")
    else:
        assert type(info.value) is AttributeError


def test_dict_kind_checked_before_contents():
    with pytest.raises(TypeError) as info:
        quibrel.Swing(1, 1.0, 0, 3, 3, object(), object(), [1], 0.0)
    assert str(info.value) == (
        "argument 'user_consumed': 'list' object cannot be converted to 'PyDict'"
    )


def test_consumed_map_mutation_during_walk_is_a_panic():
    consumed = {}

    class Grow:
        def __index__(self):
            consumed[99] = [1]
            return 1

    consumed[0] = [Grow()]
    with pytest.raises(BaseException) as info:
        make_item_cf(user_consumed=consumed)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "dictionary changed size during iteration"
