"""Tour section: the scikit-learn estimators of canopy.sklearn."""

import io


def run() -> None:
    print("== canopy.sklearn: scikit-learn estimators ==")
    try:
        import joblib
        from sklearn.datasets import load_breast_cancer, load_diabetes
        from sklearn.model_selection import GridSearchCV, train_test_split
        from sklearn.pipeline import make_pipeline
        from sklearn.preprocessing import StandardScaler
    except ImportError:
        print('scikit-learn is not installed: pip install "canopy[sklearn]" to see this part')
        return
    from canopy.sklearn import CanopyRegressor, RandomForestClassifier

    data = load_breast_cancer()
    labels = data.target_names[data.target]  # "malignant" / "benign", kept as strings
    X_train, X_test, y_train, y_test = train_test_split(data.data, labels, random_state=0)
    pipe = make_pipeline(StandardScaler(), RandomForestClassifier(random_state=0))
    search = GridSearchCV(pipe, {"randomforestclassifier__max_features": ["sqrt", None]}, cv=3)
    search.fit(X_train, y_train)
    print(f"GridSearchCV over a Pipeline: best {search.best_params_}, "
          f"held-out accuracy {search.score(X_test, y_test):.3f}")
    print("  predictions are the original labels:", search.predict(X_test[:3]))

    buffer = io.BytesIO()
    joblib.dump(search.best_estimator_, buffer)
    buffer.seek(0)
    loaded = joblib.load(buffer)
    same = (loaded.predict_proba(X_test) == search.predict_proba(X_test)).all()
    print(f"  saved with joblib ({buffer.getbuffer().nbytes} bytes) and loaded back: "
          f"identical probabilities {same}")

    X, y = load_diabetes(return_X_y=True)
    model = CanopyRegressor(n_estimators=20, rf_n_estimators=10, random_state=0).fit(X[:350], y[:350])
    intervals = model.predict_interval(X[350:], alpha=0.1)
    covered = ((intervals[:, 0] <= y[350:]) & (y[350:] <= intervals[:, 1])).mean()
    print(f"CanopyRegressor.predict_interval: an array of shape {intervals.shape}, "
          f"covering {covered:.0%} of held-out rows at alpha=0.1")
