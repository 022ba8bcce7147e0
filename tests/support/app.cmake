# The form's fake view is a header: FakeKeyerView.h.
