"""A class that only bears numpy's array name is never read through numpy's
array header: whatever it claims in its own fields, its features are what its
buffer holds. Each case runs in a fresh interpreter, since
the first row that a process converts decides which type is trusted."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent("""
    import array, struct, sys
    import drel_ml

    def bits_as_double(n):
        return struct.unpack("d", struct.pack("Q", n))[0]

    HANDED = set()

    # A complex subclass with five slots: where numpy keeps its array fields
    # (data, nd, dimensions, strides, descr), its own fields hold whatever the
    # script chooses; its buffer is real, and handed out once per object.
    class Fake(complex):
        __slots__ = ("a_dims", "b_strides", "c_base", "d_descr", "e_flags")

        def __new__(cls, address, values):
            self = super().__new__(cls, bits_as_double(address), bits_as_double(1))
            self.a_dims = object()        # its reference count: one element
            self.b_strides = object()
            self.c_base = None
            self.d_descr = 12 << 30       # reads as a native float64 dtype
            self.e_flags = None
            STORE[id(self)] = values
            return self

        def __buffer__(self, flags):
            if id(self) in HANDED:
                raise BufferError("handed once")
            HANDED.add(id(self))
            return memoryview(STORE[id(self)])

        # a sequence, as a feature vector must be, of what its buffer holds
        def __len__(self):
            return len(STORE[id(self)])

        def __getitem__(self, i):
            return STORE[id(self)][i]

    STORE = {}
    Fake.__name__ = "numpy.ndarray"

    def honest(value):
        values = array.array("d", [value])
        return Fake(values.buffer_info()[0], values)

    def elsewhere(value):
        # Its fields point at a str; its buffer holds `value`.
        target = "drel" * 8
        KEEP.append(target)
        return Fake(id(target), array.array("d", [value]))

    KEEP = []

    def safe(call, fake, expected):
        # Read from its buffer (or its items, which hold the same): never from
        # where its own fields point.
        got = call(fake)
        assert got == expected, (got, expected)

    def check_all():
        scaler, reference = drel_ml.StandardScaler(1), drel_ml.StandardScaler(1)
        reference.learn_one([7.0])
        safe(lambda x: (scaler.learn_one(x), scaler.to_json())[1], honest(7.0), reference.to_json())
        safe(lambda x: reference.transform_one(x), elsewhere(9.0), reference.transform_one([9.0]))
        model, reference = drel_ml.LinearRegression(1, 0.5), drel_ml.LinearRegression(1, 0.5)
        reference.learn_one([2.0], 1.0)
        safe(lambda x: (model.learn_one(x, 1.0), model.to_json())[1], honest(2.0), reference.to_json())
        model = reference
        safe(lambda x: model.predict_one(x), elsewhere(3.0), model.predict_one([3.0]))
        safe(lambda x: model.predict_one(x), honest(-1.0), model.predict_one([-1.0]))
        import drel_ml_ext
        mean = drel_ml.Mean()
        safe(lambda x: (drel_ml_ext.update_many(mean, x), mean.value)[1], elsewhere(5.0), 5.0)
        mean = drel_ml.Mean()
        safe(lambda x: (drel_ml_ext.update_many(mean, x), mean.value)[1], honest(4.0), 4.0)
        safe(lambda x: list(drel_ml_ext.predict_many(model, [x])), elsewhere(3.0),
             [model.predict_one([3.0])])
""")


def run(body):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == "ok", (done.returncode, done.stderr)


needs_buffer_hook = pytest.mark.skipif(sys.version_info < (3, 12),
                                       reason="a class statement exports a buffer from 3.12 on")


@needs_buffer_hook
def test_a_fake_converted_first_is_read_through_its_buffer():
    run("""
        check_all()
        import numpy as np
        row = np.array([2.5])
        model = drel_ml.LinearRegression(1, 0.5)
        model.learn_one(row, 1.0)
        assert model.predict_one(row) == model.predict_one([2.5])
        check_all()
        print("ok")
    """)


@needs_buffer_hook
def test_a_fake_after_a_real_numpy_row_is_read_through_its_buffer():
    pytest.importorskip("numpy")
    run("""
        import numpy as np
        drel_ml.StandardScaler(1).learn_one(np.array([1.0]))
        check_all()
        print("ok")
    """)


@pytest.mark.parametrize("kind", ["named_array", "named_ndarray_subclass", "ndarray_subclass"])
def test_classes_near_numpys_array_are_read_through_their_buffer(kind):
    pytest.importorskip("numpy")
    run(f"""
        import numpy as np
        kind = {kind!r}
        if kind == "named_array":
            # an exporter large enough to hold the header, bearing the name
            Named = type("numpy.ndarray", (array.array,), {{"__slots__": ("a", "b")}})
            rows = [Named("d", [v, -v]) for v in (1.5, 2.5, 3.5)]
        else:
            base = type("numpy.ndarray" if kind == "named_ndarray_subclass" else "Sub",
                        (np.ndarray,), {{}})
            rows = [np.array([v, -v]).view(base) for v in (1.5, 2.5, 3.5)]
        model = drel_ml.LinearRegression(2, 0.1)
        plain = drel_ml.LinearRegression(2, 0.1)
        for row in rows:
            model.learn_one(row, 1.0)
            plain.learn_one(list(row), 1.0)
        assert model.to_json() == plain.to_json()
        # a real numpy row afterwards still takes numpy's own path, to the same result
        np_row = np.array([0.25, 4.0])
        assert model.predict_one(np_row) == plain.predict_one([0.25, 4.0])
        assert model.predict_one(np_row[::-1]) == plain.predict_one([4.0, 0.25])
        print("ok")
    """)
